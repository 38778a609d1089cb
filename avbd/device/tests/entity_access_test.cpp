// The device loop's entity operations over the stack's real entity model.
#include "avbd/device/entity_access.h"

#include <gtest/gtest.h>

#include "avbd/device/entity.h"
#include "strimo/stack.h"
#include "support/random.h"

namespace qz::avbd {
namespace {

namespace model = strimo::avdecc::entity;

struct NullSender final : net::FrameSender {
    void send(std::size_t, std::span<const std::uint8_t>) override {}
};

struct NoHooks final : strimo::avdecc::DeviceHooks {
    using R = strimo::avdecc::HookResult;
    using K = strimo::avdecc::DeviceErrorKind;
    std::expected<strimo::avdecc::RebootAction, K> prepare_reboot() override {
        return std::unexpected(K::NotSupported);
    }
    std::expected<strimo::avdecc::RebootAction, K> prepare_reboot_into_memory_object(
        std::uint16_t) override {
        return std::unexpected(K::NotSupported);
    }
    R set_stream_output_destination(std::uint16_t, const net::MacAddress&) override { return {}; }
    R enable_stream_output(std::uint16_t) override { return {}; }
    R disable_stream_output(std::uint16_t) override { return {}; }
    R enable_stream_input(std::uint16_t, const net::MacAddress&, std::uint16_t) override {
        return {};
    }
    R disable_stream_input(std::uint16_t) override { return {}; }
    R set_sampling_rate(std::uint32_t) override { return {}; }
    R set_clock_source(std::uint16_t) override { return {}; }
    R set_stream_output_format(std::uint16_t, std::uint64_t) override { return {}; }
    R set_stream_input_format(std::uint16_t, std::uint64_t) override { return {}; }
    R set_presentation_time_offset(std::uint16_t, std::uint32_t) override { return {}; }
    R apply_input_audio_map(const std::vector<model::AudioMapping>&) override { return {}; }
    R apply_output_audio_map(const std::vector<model::AudioMapping>&) override { return {}; }
    R set_control(std::uint16_t, const model::ControlValues&) override { return {}; }
    std::expected<std::string, K> set_entity_name(std::string name) override { return name; }
    R store_memory_object(std::uint16_t, std::uint8_t) override { return {}; }
    R read_memory_object(std::uint16_t) override { return {}; }
    R upload_memory_object(std::uint16_t, std::uint64_t, std::uint64_t) override { return {}; }
    std::expected<void, strimo::avdecc::MemoryRefusal> memory_read(
        std::uint16_t, std::uint64_t, std::span<std::uint8_t>) override {
        return {};
    }
    std::expected<void, strimo::avdecc::MemoryRefusal> memory_write(
        std::uint16_t, std::uint64_t, std::span<const std::uint8_t>) override {
        return {};
    }
    R set_memory_object_name(std::uint16_t, std::uint16_t, std::string_view) override { return {}; }
    std::expected<std::string, K> get_memory_object_name(std::uint16_t, std::uint16_t) override {
        return std::string();
    }
    void entity_model_changed(const model::Entity&) override {}
};

TEST(StackEntityAccess, ChangesTheModelAndHandsCopiesToThePersistor) {
    NullSender sender;
    SeededRandom random(1);
    NoHooks hooks;
    const net::MacAddress mac0{0x02, 0, 0, 0, 0, 1};
    const net::MacAddress mac1{0x02, 0, 0, 0, 0, 2};
    strimo::Stack stack(sender, random, {mac0, mac1}, Instant{});
    stack.attach_entity(build_card_entity(default_oem_values("x", "1.0.0-v0"), mac0, mac1), hooks);
    std::vector<model::Entity> persisted;
    StackEntityAccess access(stack, [&](const model::Entity& e) { persisted.push_back(e); });

    EXPECT_FALSE(access.locked_by_controller(Instant{}));
    ASSERT_TRUE(access.set_current_sampling_rate(96000));
    EXPECT_FALSE(access.set_current_sampling_rate(12345));
    ASSERT_TRUE(access.set_clock_source(23));
    EXPECT_FALSE(access.set_clock_source(41));
    ASSERT_TRUE(access.set_dynamic_mappings(model::Direction::Output, {{0, 0, 130, 0}}));

    // Every change above left the model dirty: one hand-over, then nothing more to hand over.
    access.persist_if_dirty();
    access.persist_if_dirty();
    ASSERT_EQ(persisted.size(), 1u);
    const auto& config = persisted[0].configurations[0];
    EXPECT_EQ(config.audio_units[0].current_sampling_rate, 96000u);
    EXPECT_EQ(config.clock_domains[0].clock_source_index, 23);
    EXPECT_EQ(config.audio_units[0].output_stream_ports[0].maps_dyn.size(), 1u);
    // A deep copy: later changes do not reach the snapshot.
    ASSERT_TRUE(access.set_current_sampling_rate(48000));
    EXPECT_EQ(persisted[0].configurations[0].audio_units[0].current_sampling_rate, 96000u);
}

}  // namespace
}  // namespace qz::avbd
