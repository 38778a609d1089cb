// The card's device layer as the AVB stack sees it: each operation drives the card under its
// mutex, and the changes the host must hear of go to the main loop as device requests.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "avbd/device/card_slot.h"
#include "avbd/device/device_request.h"
#include "strimo/avdecc/device_hooks.h"
#include "support/channel.h"

namespace qz::avbd {

// Where a stream index lives on the card: port i / 17, slot i mod 17, except that the clock
// reference input of a port (i mod 17 = 16) is slot 63. Nothing for indices beyond both ports.
struct CardSlotAddress {
    std::uint8_t port;
    std::uint8_t slot;
    friend bool operator==(const CardSlotAddress&, const CardSlotAddress&) = default;
};
std::optional<CardSlotAddress> stream_output_slot(std::uint16_t index);
std::optional<CardSlotAddress> stream_input_slot(std::uint16_t index);

class CardDeviceHooks final : public strimo::avdecc::DeviceHooks {
public:
    using ModelChanged = std::function<void(const strimo::avdecc::entity::Entity&)>;

    // The logo bytes are the content of memory object 0 (the entity image), when there is one.
    CardDeviceHooks(CardSlot& card, Sender<DeviceRequest> requests,
                    std::optional<std::vector<std::uint8_t>> logo, ModelChanged model_changed);

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
    HookResult set_stream_format(std::optional<CardSlotAddress> address, bool input,
                                 std::uint64_t format);
    void queue(DeviceRequest request);

    CardSlot& card_;
    Sender<DeviceRequest> requests_;
    std::optional<std::vector<std::uint8_t>> logo_;
    ModelChanged model_changed_;
};

}  // namespace qz::avbd
