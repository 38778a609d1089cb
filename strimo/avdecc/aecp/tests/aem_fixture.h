// A stack with the card's entity, driven through frame_entry and periodic with a fake clock, and
// controllers that send AEM commands and read what comes back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "avbd/device/entity.h"
#include "packet/aem_payloads.h"
#include "strimo/stack.h"

namespace qz::strimo::avdecc::commands::test {

using namespace packet;
using namespace packet::aem_payload;
using namespace std::chrono_literals;
using Frame = std::vector<std::uint8_t>;
using aem::CommandType;
using aem::DescriptorType;
using aem::Status;

constexpr net::MacAddress kPort0{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr net::MacAddress kPort1{0x00, 0x11, 0x22, 0x33, 0x44, 0x56};

struct Controller {
    std::uint64_t id;
    Bytes6 mac;
};
constexpr Controller kA{0xAAAA000000000001, {0x02, 0, 0, 0, 0, 0xA1}};
constexpr Controller kB{0xBBBB000000000002, {0x02, 0, 0, 0, 0, 0xB2}};

struct Sent {
    std::size_t port;
    Frame frame;
};

struct CapturingSender final : net::FrameSender {
    void send(std::size_t port, std::span<const std::uint8_t> frame) override {
        sent.push_back({port, Frame(frame.begin(), frame.end())});
    }
    std::vector<Sent> sent;
};

// Device layer that succeeds unless told otherwise, and records what it was asked.
struct RecordingHooks final : DeviceHooks {
    std::optional<DeviceErrorKind> fail;
    std::vector<std::string> calls;
    int reboots_run{0};

    HookResult result(std::string call) {
        calls.push_back(std::move(call));
        if (fail) {
            return std::unexpected(*fail);
        }
        return {};
    }
    std::expected<RebootAction, DeviceErrorKind> prepare_reboot() override {
        if (fail) {
            return std::unexpected(*fail);
        }
        return RebootAction([this] { ++reboots_run; });
    }
    std::expected<RebootAction, DeviceErrorKind> prepare_reboot_into_memory_object(
        std::uint16_t) override {
        return std::unexpected(DeviceErrorKind::NotSupported);
    }
    HookResult set_stream_output_destination(std::uint16_t, const net::MacAddress&) override {
        return result("destination");
    }
    HookResult enable_stream_output(std::uint16_t) override { return result("enable out"); }
    HookResult disable_stream_output(std::uint16_t) override { return result("disable out"); }
    HookResult enable_stream_input(std::uint16_t, const net::MacAddress&, std::uint16_t) override {
        return result("enable in");
    }
    HookResult disable_stream_input(std::uint16_t) override { return result("disable in"); }
    HookResult set_sampling_rate(std::uint32_t rate) override {
        return result("rate " + std::to_string(rate));
    }
    HookResult set_clock_source(std::uint16_t index) override {
        return result("clock source " + std::to_string(index));
    }
    HookResult set_stream_output_format(std::uint16_t index, std::uint64_t) override {
        return result("output format " + std::to_string(index));
    }
    HookResult set_stream_input_format(std::uint16_t index, std::uint64_t) override {
        return result("input format " + std::to_string(index));
    }
    HookResult set_presentation_time_offset(std::uint16_t index, std::uint32_t offset) override {
        return result("pto " + std::to_string(index) + " " + std::to_string(offset));
    }
    HookResult apply_input_audio_map(const std::vector<entity::AudioMapping>&) override {
        return result("input map");
    }
    HookResult apply_output_audio_map(const std::vector<entity::AudioMapping>&) override {
        return result("output map");
    }
    HookResult set_control(std::uint16_t index, const entity::ControlValues&) override {
        return result("control " + std::to_string(index));
    }
    std::expected<std::string, DeviceErrorKind> set_entity_name(std::string name) override {
        calls.push_back("entity name");
        if (fail) {
            return std::unexpected(*fail);
        }
        return name;
    }
    HookResult store_memory_object(std::uint16_t, std::uint8_t) override { return result("store"); }
    HookResult read_memory_object(std::uint16_t) override { return result("read"); }
    HookResult upload_memory_object(std::uint16_t, std::uint64_t, std::uint64_t) override {
        return result("upload");
    }
    std::expected<void, MemoryRefusal> memory_read(std::uint16_t, std::uint64_t,
                                                   std::span<std::uint8_t>) override {
        return std::unexpected(MemoryRefusal{});
    }
    std::expected<void, MemoryRefusal> memory_write(std::uint16_t, std::uint64_t,
                                                    std::span<const std::uint8_t>) override {
        return std::unexpected(MemoryRefusal{});
    }
    HookResult set_memory_object_name(std::uint16_t, std::uint16_t, std::string_view) override {
        return result("memory object name");
    }
    std::expected<std::string, DeviceErrorKind> get_memory_object_name(std::uint16_t,
                                                                       std::uint16_t) override {
        return std::unexpected(DeviceErrorKind::NotSupported);
    }
    void entity_model_changed(const entity::Entity&) override { ++model_changes; }
    int model_changes{0};
};

inline entity::Entity card_entity() {
    auto oem = avbd::default_oem_values("SN1", "1.0.0");
    oem.logo = std::vector<std::uint8_t>(300, 0x5A);
    return avbd::build_card_entity(oem, kPort0, kPort1);
}

class AemTest : public ::testing::Test {
protected:
    explicit AemTest(entity::Entity model = card_entity())
        : stack_(sender_, random_, {kPort0, kPort1}, Instant{}) {
        stack_.attach_entity(std::move(model), hooks_);
    }

    AvdeccEntity& entity() { return *stack_.entity(); }
    std::uint64_t entity_id() { return entity().entity_id(); }
    Instant now() const { return clock_.now(); }

    Frame command(const Controller& c, CommandType type, std::size_t payload) {
        return make_command(kPort0, c.mac, entity_id(), c.id, next_sequence_++, aem::to_u16(type),
                            payload);
    }
    Frame described(const Controller& c, CommandType type, std::size_t payload,
                    DescriptorType descriptor, std::uint16_t index) {
        auto frame = command(c, type, payload);
        (void)set(std::span<std::uint8_t>(frame), kDescriptorType, aem::to_u16(descriptor));
        (void)set(std::span<std::uint8_t>(frame), kDescriptorIndex, index);
        return frame;
    }

    // Sends a command and returns the one response addressed to the command's controller
    // (an empty frame when there is none).
    Frame exchange(const Frame& frame, std::size_t port = 0) {
        const auto before = sender_.sent.size();
        stack_.frame_entry(port, frame, now());
        const auto controller = get(frame, aecp::kControllerEntityId).value();
        Frame response;
        for (std::size_t i = before; i < sender_.sent.size(); ++i) {
            const auto& f = sender_.sent[i].frame;
            if (get(f, aecp::kControllerEntityId).value_or(0) == controller &&
                get(f, aem::kUnsolicited).value_or(1) == 0) {
                EXPECT_TRUE(response.empty()) << "two responses";
                response = f;
            }
        }
        return response;
    }

    static Status status(std::span<const std::uint8_t> response) {
        return static_cast<Status>(get(response, avtp::kStatus).value());
    }

    // Runs the 10 ms periodic step until `duration` has passed.
    void run_for(Duration duration) {
        const auto end = now() + duration;
        while (now() < end) {
            clock_.advance(10ms);
            ASSERT_TRUE(stack_.periodic(now()));
        }
    }

    // Frames sent to a MAC address since `from`.
    std::vector<Frame> sent_to(const Bytes6& mac, std::size_t from = 0) const {
        std::vector<Frame> out;
        for (std::size_t i = from; i < sender_.sent.size(); ++i) {
            if (get(sender_.sent[i].frame, eth::kDestination).value_or(Bytes6{}) == mac &&
                get(sender_.sent[i].frame, avtp::kSubtypeByte).value_or(0) == kSubtypeByteAecp) {
                out.push_back(sender_.sent[i].frame);
            }
        }
        return out;
    }

    CapturingSender sender_;
    RecordingHooks hooks_;
    SeededRandom random_{3};
    FakeClock clock_{Instant{} + 1000s};
    Stack stack_;
    std::uint16_t next_sequence_{100};
};

}  // namespace qz::strimo::avdecc::commands::test
