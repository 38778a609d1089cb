#include "avbd/device/card_hooks.h"

#include <algorithm>

namespace qz::avbd {
namespace {

constexpr auto kNotSupported = strimo::avdecc::DeviceErrorKind::NotSupported;

}  // namespace

CardDeviceHooks::CardDeviceHooks(std::optional<std::vector<std::uint8_t>> logo)
    : logo_(std::move(logo)) {}

auto CardDeviceHooks::prepare_reboot() -> std::expected<RebootAction, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::prepare_reboot_into_memory_object(std::uint16_t)
    -> std::expected<RebootAction, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_stream_output_destination(std::uint16_t, const net::MacAddress&)
    -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::enable_stream_output(std::uint16_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::disable_stream_output(std::uint16_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::enable_stream_input(std::uint16_t, const net::MacAddress&, std::uint16_t)
    -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::disable_stream_input(std::uint16_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_sampling_rate(std::uint32_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_clock_source(std::uint16_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_stream_output_format(std::uint16_t, std::uint64_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_stream_input_format(std::uint16_t, std::uint64_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_presentation_time_offset(std::uint16_t, std::uint32_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::apply_input_audio_map(
    const std::vector<strimo::avdecc::entity::AudioMapping>&) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::apply_output_audio_map(
    const std::vector<strimo::avdecc::entity::AudioMapping>&) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_control(std::uint16_t, const strimo::avdecc::entity::ControlValues&)
    -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::set_entity_name(std::string) -> std::expected<std::string, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::store_memory_object(std::uint16_t, std::uint8_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::read_memory_object(std::uint16_t) -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::upload_memory_object(std::uint16_t, std::uint64_t, std::uint64_t)
    -> HookResult {
    return std::unexpected(kNotSupported);
}

auto CardDeviceHooks::memory_read(std::uint16_t index, std::uint64_t offset,
                                  std::span<std::uint8_t> out)
    -> std::expected<void, MemoryRefusal> {
    // Only memory object 0, the entity image, has content the card can hand out.
    if (index != 0 || !logo_) {
        return std::unexpected(MemoryRefusal{kNotSupported});
    }
    // A read that reaches past the image is refused rather than cut short or overrun.
    if (offset > logo_->size() || out.size() > logo_->size() - offset) {
        return std::unexpected(MemoryRefusal{std::nullopt});
    }
    std::copy_n(logo_->begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return {};
}

auto CardDeviceHooks::memory_write(std::uint16_t, std::uint64_t, std::span<const std::uint8_t>)
    -> std::expected<void, MemoryRefusal> {
    return std::unexpected(MemoryRefusal{kNotSupported});
}
auto CardDeviceHooks::set_memory_object_name(std::uint16_t, std::uint16_t, std::string_view)
    -> HookResult {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::get_memory_object_name(std::uint16_t, std::uint16_t)
    -> std::expected<std::string, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}
void CardDeviceHooks::entity_model_changed(const strimo::avdecc::entity::Entity&) {}

}  // namespace qz::avbd
