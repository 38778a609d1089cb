// The operations the AVDECC entity asks of the card's device layer.
//
// The stack calls these when a controller changes something that the hardware must follow, and
// for the memory objects it exposes. Each returns success or a device-layer error; the command
// handlers turn an error into an AEM status.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "libnet/mac_address.h"
#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc {

enum class DeviceErrorKind {
    IndexNotValid,
    InvalidMacAddress,
    ParamsInvalid,
    NotSupported,
    OperationFailed,
    FileSystemError,
    Locked,
    QueueError,
};

std::string_view device_error_text(DeviceErrorKind kind);

using HookResult = std::expected<void, DeviceErrorKind>;

// A refused memory access. A refusal with a reason is an operation the device does not support;
// one without a reason means the bytes asked for are not there.
struct MemoryRefusal {
    std::optional<DeviceErrorKind> reason;
};

// What to run once the response to a REBOOT has been sent.
using RebootAction = std::function<void()>;

class DeviceHooks {
public:
    virtual ~DeviceHooks() = default;

    virtual std::expected<RebootAction, DeviceErrorKind> prepare_reboot() = 0;
    virtual std::expected<RebootAction, DeviceErrorKind> prepare_reboot_into_memory_object(
        std::uint16_t memory_object_index) = 0;
    virtual HookResult set_stream_output_destination(std::uint16_t stream_output_index,
                                                     const net::MacAddress& destination) = 0;
    virtual HookResult enable_stream_output(std::uint16_t stream_output_index) = 0;
    virtual HookResult disable_stream_output(std::uint16_t stream_output_index) = 0;
    virtual HookResult enable_stream_input(std::uint16_t stream_input_index,
                                           const net::MacAddress& destination,
                                           std::uint16_t vlan_id) = 0;
    virtual HookResult disable_stream_input(std::uint16_t stream_input_index) = 0;
    virtual HookResult set_sampling_rate(std::uint32_t rate_hz) = 0;
    virtual HookResult set_clock_source(std::uint16_t clock_source_index) = 0;
    virtual HookResult set_stream_output_format(std::uint16_t index, std::uint64_t format) = 0;
    virtual HookResult set_stream_input_format(std::uint16_t index, std::uint64_t format) = 0;
    virtual HookResult set_presentation_time_offset(std::uint16_t index,
                                                    std::uint32_t offset_ns) = 0;
    virtual HookResult apply_input_audio_map(const std::vector<entity::AudioMapping>& mappings) = 0;
    virtual HookResult apply_output_audio_map(
        const std::vector<entity::AudioMapping>& mappings) = 0;
    virtual HookResult set_control(std::uint16_t control_index,
                                   const entity::ControlValues& values) = 0;
    // Returns the name the entity keeps.
    virtual std::expected<std::string, DeviceErrorKind> set_entity_name(std::string name) = 0;
    virtual HookResult store_memory_object(std::uint16_t index, std::uint8_t operation) = 0;
    virtual HookResult read_memory_object(std::uint16_t index) = 0;
    virtual HookResult upload_memory_object(std::uint16_t index, std::uint64_t offset,
                                            std::uint64_t length) = 0;
    // Address access into a memory object: `out.size()` bytes from `offset` of the object.
    virtual std::expected<void, MemoryRefusal> memory_read(std::uint16_t index,
                                                           std::uint64_t offset,
                                                           std::span<std::uint8_t> out) = 0;
    virtual std::expected<void, MemoryRefusal> memory_write(std::uint16_t index,
                                                            std::uint64_t offset,
                                                            std::span<const std::uint8_t> data) = 0;
    virtual HookResult set_memory_object_name(std::uint16_t index, std::uint16_t name_index,
                                              std::string_view name) = 0;
    virtual std::expected<std::string, DeviceErrorKind> get_memory_object_name(
        std::uint16_t index, std::uint16_t name_index) = 0;
    virtual void entity_model_changed(const entity::Entity& entity) = 0;
    // START_OPERATION on a CONTROL: the operation type, the control's index, whether the
    // controller has access (lock), and the operation's values as received. A refusal with
    // Locked means the controller lacks access. Devices without control operations refuse.
    virtual HookResult start_control_operation(std::uint16_t operation_type,
                                               std::uint16_t control_index, bool has_access,
                                               std::span<const std::uint8_t> values) {
        (void)operation_type;
        (void)control_index;
        (void)has_access;
        (void)values;
        return std::unexpected(DeviceErrorKind::NotSupported);
    }
};

}  // namespace qz::strimo::avdecc
