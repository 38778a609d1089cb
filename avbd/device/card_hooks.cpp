#include "avbd/device/card_hooks.h"

#include <algorithm>

#include "avbd/device/entity.h"
#include "avbd/device/stream_format.h"
#include "support/fatal.h"
#include "support/log.h"

namespace qz::avbd {
namespace {

using strimo::avdecc::DeviceErrorKind;
constexpr auto kNotSupported = DeviceErrorKind::NotSupported;
constexpr std::string_view kTarget = "qzel_avbd::device";
constexpr std::uint8_t kClockReferenceInputSlot = 63;
// Status LED modes: the default colour, and the identify sweep.
constexpr std::uint8_t kLedDefault = 0;
constexpr std::uint8_t kLedIdentify = 2;

strimo::avdecc::HookResult card_result(const std::expected<void, device::Error>& result,
                                       std::string_view what) {
    if (!result) {
        log::error(kTarget, "{} failed: {}", what, result.error().text());
        return std::unexpected(DeviceErrorKind::OperationFailed);
    }
    return {};
}

std::vector<AudioMapping> request_mappings(
    const std::vector<strimo::avdecc::entity::AudioMapping>& mappings) {
    std::vector<AudioMapping> out;
    out.reserve(mappings.size());
    for (const auto& m : mappings) {
        out.push_back(
            AudioMapping{m.stream_index, m.stream_channel, m.cluster_offset, m.cluster_channel});
    }
    return out;
}

}  // namespace

std::optional<CardSlotAddress> stream_output_slot(std::uint16_t index) {
    if (index >= kStreamCount) {
        return std::nullopt;
    }
    return CardSlotAddress{static_cast<std::uint8_t>(index / kStreamsPerPort),
                           static_cast<std::uint8_t>(index % kStreamsPerPort)};
}

std::optional<CardSlotAddress> stream_input_slot(std::uint16_t index) {
    auto address = stream_output_slot(index);
    if (address && address->slot == kAudioStreamsPerPort) {
        address->slot = kClockReferenceInputSlot;
    }
    return address;
}

CardDeviceHooks::CardDeviceHooks(CardSlot& card, Sender<DeviceRequest> requests,
                                 std::optional<std::vector<std::uint8_t>> logo,
                                 ModelChanged model_changed)
    : card_(card),
      requests_(std::move(requests)),
      logo_(std::move(logo)),
      model_changed_(std::move(model_changed)) {}

void CardDeviceHooks::queue(DeviceRequest request) {
    // The channel is unbounded and its receiver lives as long as the daemon's state.
    if (!requests_.send(std::move(request))) {
        fatal("device request channel lost its receiver");
    }
}

auto CardDeviceHooks::prepare_reboot() -> std::expected<RebootAction, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}
auto CardDeviceHooks::prepare_reboot_into_memory_object(std::uint16_t)
    -> std::expected<RebootAction, DeviceErrorKind> {
    return std::unexpected(kNotSupported);
}

auto CardDeviceHooks::set_stream_output_destination(std::uint16_t index,
                                                    const net::MacAddress& destination)
    -> HookResult {
    const auto address = stream_output_slot(index);
    if (!address) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.set_stream_output_destination(address->port, destination);
    }),
                       "Setting stream output destination");
}

auto CardDeviceHooks::enable_stream_output(std::uint16_t index) -> HookResult {
    const auto address = stream_output_slot(index);
    if (!address) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.stream_output_start(address->port, address->slot);
    }),
                       "Starting stream output");
}

auto CardDeviceHooks::disable_stream_output(std::uint16_t index) -> HookResult {
    const auto address = stream_output_slot(index);
    if (!address) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.stream_output_stop(address->port, address->slot);
    }),
                       "Stopping stream output");
}

auto CardDeviceHooks::enable_stream_input(std::uint16_t index, const net::MacAddress& destination,
                                          std::uint16_t) -> HookResult {
    const auto address = stream_input_slot(index);
    if (!address) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.set_stream_input_destination(address->port, address->slot, destination);
    }),
                       "Setting stream input destination");
}

auto CardDeviceHooks::disable_stream_input(std::uint16_t index) -> HookResult {
    // The broadcast address through the same routine: no counter reset is marked for it.
    static constexpr net::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return enable_stream_input(index, kBroadcast, 0);
}

auto CardDeviceHooks::set_sampling_rate(std::uint32_t rate_hz) -> HookResult {
    const auto code = rate_code_of(rate_hz);
    if (!code) {
        return std::unexpected(DeviceErrorKind::ParamsInvalid);
    }
    // The card reconfigures the stream channels for the new rate and rewrites the routing.
    auto result = card_result(
        card_.with([&](device::avb::Card& card) { return card.set_sampling_rate(*code); }),
        "Setting sampling rate");
    if (result) {
        queue(SampleRateChanged{*code});
    }
    return result;
}

auto CardDeviceHooks::set_clock_source(std::uint16_t clock_source_index) -> HookResult {
    if (clock_source_index > device::avb::kMaxClockSourceIndex) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    auto result = card_result(card_.with([&](device::avb::Card& card) {
        return card.set_clock_source(static_cast<std::uint8_t>(clock_source_index));
    }),
                              "Setting clock source");
    if (result) {
        queue(ClockSourceChanged{clock_source_index});
    }
    return result;
}

auto CardDeviceHooks::set_stream_format(std::optional<CardSlotAddress> address, bool input,
                                        std::uint64_t format) -> HookResult {
    if (!address) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    const auto info = decode_stream_format(format);
    if (info.channels > 32) {
        return std::unexpected(DeviceErrorKind::ParamsInvalid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.set_stream_format(address->slot, input, info.channels, info.kind);
    }),
                       input ? "Setting stream input format" : "Setting stream output format");
}

auto CardDeviceHooks::set_stream_output_format(std::uint16_t index, std::uint64_t format)
    -> HookResult {
    return set_stream_format(stream_output_slot(index), false, format);
}

auto CardDeviceHooks::set_stream_input_format(std::uint16_t index, std::uint64_t format)
    -> HookResult {
    return set_stream_format(stream_input_slot(index), true, format);
}

auto CardDeviceHooks::set_presentation_time_offset(std::uint16_t index, std::uint32_t offset_ns)
    -> HookResult {
    if (index >= kStreamCount) {
        return std::unexpected(DeviceErrorKind::IndexNotValid);
    }
    return card_result(card_.with([&](device::avb::Card& card) {
        return card.set_presentation_offset(static_cast<std::uint8_t>(index), offset_ns);
    }),
                       "Setting presentation time offset");
}

auto CardDeviceHooks::apply_input_audio_map(
    const std::vector<strimo::avdecc::entity::AudioMapping>& mappings) -> HookResult {
    queue(ListenerMapsChanged{request_mappings(mappings)});
    return {};
}

auto CardDeviceHooks::apply_output_audio_map(
    const std::vector<strimo::avdecc::entity::AudioMapping>& mappings) -> HookResult {
    queue(TalkerMapsChanged{request_mappings(mappings)});
    return {};
}

auto CardDeviceHooks::set_control(std::uint16_t control_index,
                                  const strimo::avdecc::entity::ControlValues& values)
    -> HookResult {
    if (control_index != 0) {
        return std::unexpected(kNotSupported);
    }
    // The entity defines Identify as one LinearUint8 value; anything else is a broken model.
    const auto* linear = std::get_if<strimo::avdecc::entity::Linear<std::uint8_t>>(&values);
    if (linear == nullptr) {
        fatal("Identify control has wrong value type");
    }
    if (linear->values.size() != 1) {
        fatal("Identify control has wrong length");
    }
    const bool on = linear->values[0].current != 0;
    card_.with([&](device::avb::Card& card) {
        card.led_set(on ? kLedIdentify : kLedDefault, {});
        return 0;
    });
    queue(IdentifyChanged{on});
    return {};
}

auto CardDeviceHooks::set_entity_name(std::string name)
    -> std::expected<std::string, DeviceErrorKind> {
    return name;
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

void CardDeviceHooks::entity_model_changed(const strimo::avdecc::entity::Entity& entity) {
    if (model_changed_) {
        model_changed_(entity);
    }
}

}  // namespace qz::avbd
