// The card's device layer as the AVB stack sees it.
//
// Only the memory read of the entity image is wired to something so far; every other operation
// answers NotSupported until the device control loop drives the hardware.
#pragma once

#include <optional>
#include <vector>

#include "strimo/avdecc/device_hooks.h"

namespace qz::avbd {

class CardDeviceHooks final : public strimo::avdecc::DeviceHooks {
public:
    // The logo bytes are the content of memory object 0 (the entity image), when there is one.
    explicit CardDeviceHooks(std::optional<std::vector<std::uint8_t>> logo);

    using DeviceErrorKind = strimo::avdecc::DeviceErrorKind;
    using HookResult = strimo::avdecc::HookResult;
    using MemoryRefusal = strimo::avdecc::MemoryRefusal;
    using RebootAction = strimo::avdecc::RebootAction;

    std::expected<RebootAction, DeviceErrorKind> prepare_reboot() override;
    std::expected<RebootAction, DeviceErrorKind> prepare_reboot_into_memory_object(
        std::uint16_t memory_object_index) override;
    HookResult set_stream_output_destination(std::uint16_t index,
                                             const net::MacAddress& destination) override;
    HookResult enable_stream_output(std::uint16_t index) override;
    HookResult disable_stream_output(std::uint16_t index) override;
    HookResult enable_stream_input(std::uint16_t index, const net::MacAddress& destination,
                                   std::uint16_t vlan_id) override;
    HookResult disable_stream_input(std::uint16_t index) override;
    HookResult set_sampling_rate(std::uint32_t rate_hz) override;
    HookResult set_clock_source(std::uint16_t clock_source_index) override;
    HookResult set_stream_output_format(std::uint16_t index, std::uint64_t format) override;
    HookResult set_stream_input_format(std::uint16_t index, std::uint64_t format) override;
    HookResult set_presentation_time_offset(std::uint16_t index, std::uint32_t offset_ns) override;
    HookResult apply_input_audio_map(
        const std::vector<strimo::avdecc::entity::AudioMapping>& mappings) override;
    HookResult apply_output_audio_map(
        const std::vector<strimo::avdecc::entity::AudioMapping>& mappings) override;
    HookResult set_control(std::uint16_t control_index,
                           const strimo::avdecc::entity::ControlValues& values) override;
    std::expected<std::string, DeviceErrorKind> set_entity_name(std::string name) override;
    HookResult store_memory_object(std::uint16_t index, std::uint8_t operation) override;
    HookResult read_memory_object(std::uint16_t index) override;
    HookResult upload_memory_object(std::uint16_t index, std::uint64_t offset,
                                    std::uint64_t length) override;
    std::expected<void, MemoryRefusal> memory_read(std::uint16_t index, std::uint64_t offset,
                                                   std::span<std::uint8_t> out) override;
    std::expected<void, MemoryRefusal> memory_write(std::uint16_t index, std::uint64_t offset,
                                                    std::span<const std::uint8_t> data) override;
    HookResult set_memory_object_name(std::uint16_t index, std::uint16_t name_index,
                                      std::string_view name) override;
    std::expected<std::string, DeviceErrorKind> get_memory_object_name(
        std::uint16_t index, std::uint16_t name_index) override;
    void entity_model_changed(const strimo::avdecc::entity::Entity& entity) override;

private:
    std::optional<std::vector<std::uint8_t>> logo_;
};

}  // namespace qz::avbd
