#include "avbd/device/device_ctrl.h"

#include <unistd.h>

#include <algorithm>

#include "avbd/daemon_state.h"
#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/device/stream_format.h"
#include "avbd/persist/files.h"
#include "avbd/persist/persistor.h"
#include "avbd/persist/stack_storage.h"
#include "packet/aem_names.h"
#include "support/log.h"

namespace qz::avbd {
namespace {

using device::MessageType;
using device::ReportItem;
using strimo::avdecc::entity::Direction;
namespace aem = packet::aem;
namespace model = strimo::avdecc::entity;

constexpr std::string_view kTarget = "qzel_avbd::device";

DeviceError card_error(const device::Error& error) {
    return DeviceError{error.text()};
}

std::expected<void, DeviceError> link_result(const std::expected<void, device::Error>& result) {
    if (!result) {
        return std::unexpected(card_error(result.error()));
    }
    return {};
}

// Rate codes of the host link as entity rates.
constexpr std::uint32_t kHostRates[7] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};

}  // namespace

DeviceControl::DeviceControl(CardSlot& card, device::ParCtrlIntf& link, EntityAccess& entity,
                             strimo::avdecc::DeviceHooks& hooks, persist::DeviceSettings settings,
                             DeviceEnvironment environment, device::avb::CardStatus initial_status)
    : card_(card),
      link_(link),
      entity_(entity),
      hooks_(hooks),
      settings_(settings),
      env_(std::move(environment)),
      status_(initial_status),
      ssh_(env_.ssh) {}

// --- reports
// ---------------------------------------------------------------------------------------

std::expected<void, DeviceError> DeviceControl::report_rate() {
    const auto code = card_.with([](device::avb::Card& card) { return card.rate_code(); });
    return link_result(link_.send_word(MessageType::SamplingRate, 1, code));
}

std::expected<void, DeviceError> DeviceControl::report_clock_source_index(std::uint16_t index) {
    const auto code =
        device::avb_clock_code(static_cast<std::uint8_t>(std::min<std::uint16_t>(index, 255)));
    if (!code) {
        return std::unexpected(
            DeviceError{"no host code for clock source " + std::to_string(index)});
    }
    return link_result(link_.send_word(MessageType::Clock, 1, *code));
}

std::expected<void, DeviceError> DeviceControl::report_clock_source() {
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    const auto& domain = config.clock_domains.at(0);
    const auto position = domain.clock_source_index;
    const std::uint16_t source =
        position < domain.clock_sources.size() ? domain.clock_sources[position] : 0;
    return report_clock_source_index(source);
}

std::expected<void, DeviceError> DeviceControl::report_ref_clock(
    const device::avb::CardStatus& status) {
    return link_result(link_.send_word(
        MessageType::RefClock, 1, device::avb_ref_clock_code(status.ref_kind, status.ref_number)));
}

std::expected<void, DeviceError> DeviceControl::report_clock_states(
    std::uint8_t first, std::uint8_t last, const device::avb::CardStatus& status) {
    return link_result(device::send_clock_states(link_, first, last, [&status](std::uint8_t sub) {
        return device::avb_clock_state(status, sub);
    }));
}

std::expected<void, DeviceError> DeviceControl::report_status_word() {
    const auto ports =
        env_.port_states ? env_.port_states() : std::array<std::pair<bool, bool>, 2>{};
    const device::StatusInputs inputs{.port0_gbit = ports[0].second,
                                      .port0_up = ports[0].first,
                                      .port1_gbit = ports[1].second,
                                      .port1_up = ports[1].first,
                                      .identify = identify_on_,
                                      .flags = status_.flags};
    return link_result(link_.send_word(MessageType::MiscStatus, 1, device::status_word(inputs)));
}

std::expected<void, DeviceError> DeviceControl::report_settings_word() {
    const device::MiscSettings misc{.wordclock_input_enable = settings_.wordclock_input_enable,
                                    .identify = identify_on_,
                                    .madi_56ch = settings_.madi_56ch,
                                    .madi_smux = settings_.madi_smux};
    return link_result(
        link_.send_word(MessageType::MiscSettings, 1, device::settings_word(misc, false)));
}

std::expected<void, DeviceError> DeviceControl::report_static_info() {
    return link_result(device::send_static_info(link_, env_.version, env_.design_id, false,
                                                env_.macs[0], env_.macs[1]));
}

std::expected<void, DeviceError> DeviceControl::report_routing(std::uint8_t index) {
    return link_result(device::send_routing(link_, settings_.routing, index));
}

std::expected<void, DeviceError> DeviceControl::report_ip_config() {
    std::optional<device::Ipv4> first;
    std::optional<device::Ipv4> second;
    if (env_.ipv4) {
        first = env_.ipv4(0);
        second = env_.ipv4(1);
    }
    const auto items = device::avb_ip_config(first, second);
    return link_result(link_.send_words(MessageType::IpConfig, items));
}

std::expected<void, DeviceError> DeviceControl::report_stream_formats(bool input,
                                                                      std::uint8_t index) {
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    const auto& streams = input ? config.input_streams : config.output_streams;
    std::vector<ReportItem> items;
    // The primary port's 17 streams; index n asks for stream n - 1.
    for (std::size_t i = 0; i < kStreamsPerPort && i < streams.size(); ++i) {
        if (index != 0 && index != i + 1) {
            continue;
        }
        const auto info = decode_stream_format(streams[i].current_stream_format);
        items.push_back(ReportItem{
            static_cast<std::uint8_t>(i + 1),
            device::stream_format_word(info.channels, info.rate_code.value_or(0), info.kind)});
    }
    if (items.empty()) {
        return {};
    }
    return link_result(link_.send_words(
        input ? MessageType::AvbInputStreamFormat : MessageType::AvbOutputStreamFormat, items));
}

// --- card
// ------------------------------------------------------------------------------------------

std::expected<void, DeviceError> DeviceControl::apply_routing() {
    std::vector<device::AudioMapping> listener;
    std::vector<device::AudioMapping> talker;
    for (const auto& m : listener_) {
        listener.push_back({m.stream_index, m.stream_channel,
                            static_cast<std::uint16_t>(m.cluster_offset + m.cluster_channel)});
    }
    for (const auto& m : talker_) {
        talker.push_back({m.stream_index, m.stream_channel,
                          static_cast<std::uint16_t>(m.cluster_offset + m.cluster_channel)});
    }
    return link_result(card_.with([&](device::avb::Card& card) {
        card.set_audio_mappings(std::move(listener), std::move(talker));
        return card.apply_routing(settings_.routing);
    }));
}

std::expected<void, DeviceError> DeviceControl::write_card_options() {
    return link_result(
        card_.with([this](device::avb::Card& card) -> std::expected<void, device::Error> {
            if (auto ok = card.set_wordclock_input(settings_.wordclock_input_enable); !ok) {
                return ok;
            }
            return card.set_madi(settings_.madi_56ch, settings_.madi_smux);
        }));
}

// --- device requests
// -------------------------------------------------------------------------------

std::expected<void, DeviceError> DeviceControl::apply(const DeviceRequest& request) {
    return std::visit(
        [this](const auto& r) -> std::expected<void, DeviceError> {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, SampleRateChanged>) {
                return link_result(link_.send_word(MessageType::SamplingRate, 1, r.rate_code));
            } else if constexpr (std::is_same_v<R, ClockSourceChanged>) {
                return report_clock_source_index(r.clock_source_index);
            } else if constexpr (std::is_same_v<R, IdentifyChanged>) {
                identify_on_ = r.on;
                return report_status_word();
            } else if constexpr (std::is_same_v<R, ListenerMapsChanged>) {
                listener_ = r.mappings;
                return apply_routing();
            } else {
                talker_ = r.mappings;
                return apply_routing();
            }
        },
        request);
}

// --- host words
// ------------------------------------------------------------------------------------

void DeviceControl::service_host(Instant now) {
    for (;;) {
        auto received = link_.receive();
        if (!received) {
            log::error(kTarget, "Error handling control command: {}",
                       card_error(received.error()).text());
            return;
        }
        if (received->status == device::ReceiveStatus::Empty) {
            return;
        }
        if (received->status == device::ReceiveStatus::Dropped) {
            continue;  // logged by the link
        }
        if (auto handled = handle_word(received->word, now); !handled) {
            log::error(kTarget, "Error handling control command: {}", handled.error().text());
        }
    }
}

std::expected<void, DeviceError> DeviceControl::handle_word(const device::ControlWord& word,
                                                            Instant now) {
    const bool get = word.op == static_cast<std::uint8_t>(device::Op::Get);
    const bool set = word.op == static_cast<std::uint8_t>(device::Op::Set);
    switch (static_cast<MessageType>(word.type)) {
        case MessageType::SamplingRate:
            return get   ? report_rate()
                   : set ? host_set_rate(word.value, now)
                         : std::expected<void, DeviceError>{};
        case MessageType::Clock:
            return get   ? report_clock_source()
                   : set ? host_set_clock(word.value, now)
                         : std::expected<void, DeviceError>{};
        case MessageType::RefClock:
            return get ? report_ref_clock(status_) : std::expected<void, DeviceError>{};
        case MessageType::ClockStates:
            if (!get) {
                return {};
            }
            if (word.index == 0) {
                return report_clock_states(1, device::kAvbClockStateCount, status_);
            }
            if (word.index <= device::kAvbClockStateCount) {
                return report_clock_states(word.index, word.index, status_);
            }
            return {};
        case MessageType::MiscSettings:
            return get   ? report_settings_word()
                   : set ? host_set_settings(word.value, now)
                         : std::expected<void, DeviceError>{};
        case MessageType::MiscStatus:
            return get ? report_status_word() : std::expected<void, DeviceError>{};
        case MessageType::StaticInfo:
            return get ? report_static_info() : std::expected<void, DeviceError>{};
        case MessageType::BlockRouting:
            if (get) {
                return report_routing(word.index);
            }
            return set ? host_set_routing(word.index, word.value)
                       : std::expected<void, DeviceError>{};
        case MessageType::IpConfig:
            return get ? report_ip_config() : std::expected<void, DeviceError>{};
        case MessageType::InternalCommand:
            return set ? host_internal_command(word.index, now)
                       : std::expected<void, DeviceError>{};
        case MessageType::FactoryReset:
            host_factory_reset(word);
            return {};
        case MessageType::SshKey:
            ssh_.handle(word);  // the upload logs its own outcome
            return {};
        case MessageType::AvbInputStreamFormat:
        case MessageType::AvbOutputStreamFormat:
            return get ? report_stream_formats(word.type == static_cast<std::uint8_t>(
                                                                MessageType::AvbInputStreamFormat),
                                               word.index)
                       : std::expected<void, DeviceError>{};
        default:
            // Headphone volume, LED, device name and channel routing are not the Milan card's.
            return {};
    }
}

std::expected<void, DeviceError> DeviceControl::host_set_rate(std::uint16_t value, Instant now) {
    if (!device::settable_rate_code(value)) {
        log::error(kTarget, "Received invalid sampling rate index {}", value);
        return {};
    }
    const std::uint32_t hz = kHostRates[value];
    const auto refuse = [this](std::string why) -> std::expected<void, DeviceError> {
        // The host learns that nothing changed from the old rate coming back.
        if (auto reported = report_rate(); !reported) {
            log::error(kTarget, "Failed to send control notification: {}", reported.error().text());
        }
        return std::unexpected(DeviceError{std::move(why)});
    };
    if (entity_.locked_by_controller(now)) {
        return refuse("entity is locked by a controller");
    }
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    const auto& rates = config.audio_units.at(0).sampling_rates;
    if (std::find(rates.begin(), rates.end(), hz) == rates.end()) {
        return refuse("sampling rate " + std::to_string(hz) + " not offered");
    }
    if (auto hooked = hooks_.set_sampling_rate(hz); !hooked) {
        return refuse(std::string(strimo::avdecc::device_error_text(hooked.error())));
    }
    if (auto set = entity_.set_current_sampling_rate(hz); !set) {
        return refuse(set.error());
    }
    entity_.mark_changed();
    entity_.notify_unsolicited(aem::to_u16(aem::CommandType::SET_SAMPLING_RATE),
                               aem::to_u16(aem::DescriptorType::AUDIO_UNIT), 0, now);
    // The card rewrote its routing for the new rate; the mapping lists are applied with it.
    return apply_routing();
}

std::expected<void, DeviceError> DeviceControl::host_set_clock(std::uint16_t value, Instant now) {
    const auto source = device::avb_clock_index(value);
    if (!source) {
        log::error(kTarget, "Received invalid clock source index {}", value);
        return {};
    }
    if (entity_.locked_by_controller(now)) {
        return std::unexpected(DeviceError{"entity is locked by a controller"});
    }
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    const auto& sources = config.clock_domains.at(0).clock_sources;
    const auto found = std::find(sources.begin(), sources.end(), *source);
    if (found == sources.end()) {
        return std::unexpected(
            DeviceError{"clock source " + std::to_string(*source) + " not in the clock domain"});
    }
    if (auto hooked = hooks_.set_clock_source(*source); !hooked) {
        return std::unexpected(
            DeviceError{std::string(strimo::avdecc::device_error_text(hooked.error()))});
    }
    if (auto set = entity_.set_clock_source(static_cast<std::uint16_t>(found - sources.begin()));
        !set) {
        return std::unexpected(DeviceError{set.error()});
    }
    entity_.mark_changed();
    entity_.notify_unsolicited(aem::to_u16(aem::CommandType::SET_CLOCK_SOURCE),
                               aem::to_u16(aem::DescriptorType::CLOCK_DOMAIN), 0, now);
    return {};
}

void DeviceControl::set_identify_from_host(bool on, Instant now) {
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    if (config.controls.empty()) {
        log::warn(kTarget, "Failed to update identify control: {}", "no Identify control");
    } else {
        auto values = config.controls[0].values;
        auto* linear = std::get_if<model::Linear<std::uint8_t>>(&values);
        if (linear == nullptr) {
            log::error(kTarget, "Identify control has wrong control_value_type");
        } else if (linear->values.size() != 1) {
            log::error(kTarget, "Identify control has wrong length");
        } else {
            linear->values[0].current = on ? 255 : 0;
            if (auto set = entity_.set_control_values(0, values); !set) {
                log::warn(kTarget, "Failed to update identify control: {}", set.error());
            } else {
                entity_.mark_changed();
                entity_.notify_unsolicited(aem::to_u16(aem::CommandType::SET_CONTROL),
                                           aem::to_u16(aem::DescriptorType::CONTROL), 0, now);
            }
        }
    }
    card_.with([on](device::avb::Card& card) {
        card.led_set(on ? 2 : 0, {});
        return 0;
    });
    identify_on_ = on;
}

std::expected<void, DeviceError> DeviceControl::host_set_settings(std::uint16_t value,
                                                                  Instant now) {
    const device::MiscSettings before{.wordclock_input_enable = settings_.wordclock_input_enable,
                                      .identify = identify_on_,
                                      .madi_56ch = settings_.madi_56ch,
                                      .madi_smux = settings_.madi_smux};
    const auto after = device::apply_settings(before, value, false);
    const bool options_selected = (value & 0x0D00) != 0;
    if (options_selected) {
        settings_.wordclock_input_enable = after.wordclock_input_enable;
        settings_.madi_56ch = after.madi_56ch;
        settings_.madi_smux = after.madi_smux;
        if (auto written = write_card_options(); !written) {
            return written;
        }
        if (auto saved = persist::save_device_settings(env_.data_directory, settings_); !saved) {
            return std::unexpected(DeviceError{saved.error()});
        }
    }
    if ((value & 0x0200) != 0) {
        set_identify_from_host(after.identify, now);
        return report_status_word();
    }
    return {};
}

std::expected<void, DeviceError> DeviceControl::host_set_routing(std::uint8_t index,
                                                                 std::uint16_t value) {
    auto routing = settings_.routing;
    if (!device::apply_routing_set(routing, index, value)) {
        log::error(kTarget, "Received invalid routing request");
        return {};
    }
    settings_.routing = routing;
    if (auto applied = apply_routing(); !applied) {
        return applied;
    }
    if (auto saved = persist::save_device_settings(env_.data_directory, settings_); !saved) {
        return std::unexpected(DeviceError{saved.error()});
    }
    return {};
}

std::expected<void, DeviceError> DeviceControl::host_internal_command(std::uint8_t index,
                                                                      Instant now) {
    if (index != 0x10) {
        return {};
    }
    const auto& config = entity_.entity().configurations.at(entity_.entity().current_configuration);
    // Each stream's channels on consecutive clusters, streams in order: the audio streams of
    // both ports, the clock reference streams carry no audio.
    for (const auto direction : {Direction::Input, Direction::Output}) {
        const auto& streams =
            direction == Direction::Input ? config.input_streams : config.output_streams;
        std::vector<model::AudioMapping> mappings;
        std::uint16_t cluster = 0;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const auto info = decode_stream_format(streams[i].current_stream_format);
            if (info.kind == device::StreamFormatKind::Crf) {
                continue;
            }
            for (std::uint16_t ch = 0; ch < info.channels && cluster < kClustersPerPort;
                 ++ch, ++cluster) {
                mappings.push_back(
                    model::AudioMapping{static_cast<std::uint16_t>(i), ch, cluster, 0});
            }
        }
        const auto port_type = direction == Direction::Input
                                   ? aem::DescriptorType::STREAM_PORT_INPUT
                                   : aem::DescriptorType::STREAM_PORT_OUTPUT;
        entity_.notify_unsolicited(aem::to_u16(aem::CommandType::REMOVE_AUDIO_MAPPINGS),
                                   aem::to_u16(port_type), 0, now);
        if (auto set = entity_.set_dynamic_mappings(direction, std::move(mappings)); !set) {
            return std::unexpected(DeviceError{set.error()});
        }
        entity_.mark_changed();
        entity_.notify_unsolicited(aem::to_u16(aem::CommandType::ADD_AUDIO_MAPPINGS),
                                   aem::to_u16(port_type), 0, now);
    }
    return {};
}

void DeviceControl::host_factory_reset(const device::ControlWord& word) {
    if (word.index != 1 || word.op != static_cast<std::uint8_t>(device::Op::Set)) {
        log::debug(kTarget, "Factory reset attempt with wrong type ({}) or index ({})", word.op,
                   word.index);
        return;
    }
    log::info(kTarget, "Factory reset");
    if (env_.stop_persisting) {
        env_.stop_persisting();
    }
    for (const std::string& name :
         {std::string(persist::kDeviceSettingsFile), std::string(persist::kEntityFile),
          std::string(persist::kAutoConnectFile), persist::maap_file_name(0),
          persist::maap_file_name(1)}) {
        ::unlink(persist::join_path(env_.data_directory, name).c_str());  // errors ignored
    }
    if (env_.exit_process) {
        env_.exit_process(0);
    }
}

// --- polls
// -----------------------------------------------------------------------------------------

void DeviceControl::poll_status() {
    auto read = card_.with([](device::avb::Card& card) { return card.read_status(); });
    if (!read) {
        log::error(kTarget, "Failed to get device status: {}", card_error(read.error()).text());
        return;
    }
    const auto old = status_;
    const auto& now = *read;
    const auto log_failure = [](const std::expected<void, DeviceError>& result) {
        if (!result) {
            log::error(kTarget, "Failed to send control notification: {}", result.error().text());
        }
    };
    if (old.ref_kind != now.ref_kind || old.ref_number != now.ref_number) {
        log_failure(report_ref_clock(now));
    }
    const auto group_changed = [&](std::uint8_t first, std::uint8_t last) {
        for (std::uint8_t sub = first; sub <= last; ++sub) {
            if (device::avb_clock_state(old, sub) != device::avb_clock_state(now, sub)) {
                return true;
            }
        }
        return false;
    };
    for (const auto& [first, last] :
         {std::pair<std::uint8_t, std::uint8_t>{1, 1}, {2, 2}, {3, 13}, {14, 24}}) {
        if (group_changed(first, last)) {
            log_failure(report_clock_states(first, last, now));
        }
    }
    status_ = now;
    if (old.flags != now.flags) {
        log_failure(report_status_word());
    }
}

void DeviceControl::poll_counters(Instant now, const std::array<InterfaceCounters, 2>& interfaces) {
    using Polled = std::pair<device::avb::StreamCounters, std::pair<std::uint32_t, std::uint32_t>>;
    auto polled = card_.with([](device::avb::Card& card) -> std::expected<Polled, device::Error> {
        auto counters = card.poll_counters();
        if (!counters) {
            return std::unexpected(counters.error());
        }
        return Polled{std::move(*counters), {card.locked_count(), card.unlocked_count()}};
    });
    if (!polled) {
        log::error(kTarget, "Failed to obtain counters: {}", card_error(polled.error()).text());
        return;
    }
    const auto notify = [this, now](aem::DescriptorType type, std::uint16_t index) {
        entity_.notify_unsolicited(aem::to_u16(aem::CommandType::GET_COUNTERS), aem::to_u16(type),
                                   index, now);
    };
    // The first poll only sets the baseline.
    if (interface_counters_) {
        for (std::uint16_t port = 0; port < 2; ++port) {
            if (interfaces[port] != (*interface_counters_)[port]) {
                notify(aem::DescriptorType::AVB_INTERFACE, port);
            }
        }
    }
    if (clock_counters_ && polled->second != *clock_counters_) {
        notify(aem::DescriptorType::CLOCK_DOMAIN, 0);
    }
    const auto& streams = polled->first;
    if (counters_) {
        for (std::uint16_t i = 0; i < kStreamCount; ++i) {
            const auto in = *stream_input_slot(i);
            if (streams.inputs[in.port][in.slot] != counters_->inputs[in.port][in.slot]) {
                notify(aem::DescriptorType::STREAM_INPUT, i);
            }
        }
        for (std::uint16_t i = 0; i < kStreamCount; ++i) {
            const auto out = *stream_output_slot(i);
            if (streams.outputs[out.port][out.slot] != counters_->outputs[out.port][out.slot]) {
                notify(aem::DescriptorType::STREAM_OUTPUT, i);
            }
        }
    }
    interface_counters_ = interfaces;
    clock_counters_ = polled->second;
    counters_ = std::move(streams);
}

std::expected<void, DeviceError> DeviceControl::send_liveness() {
    return link_result(device::send_liveness(link_));
}

std::expected<void, DeviceError> DeviceControl::initial_report() {
    if (auto r = report_rate(); !r) {
        return r;
    }
    if (auto r = report_clock_source(); !r) {
        return r;
    }
    if (auto r = report_ref_clock(status_); !r) {
        return r;
    }
    if (auto r = report_clock_states(1, device::kAvbClockStateCount, status_); !r) {
        return r;
    }
    if (auto r = write_card_options(); !r) {
        return r;
    }
    if (auto r = report_status_word(); !r) {
        return r;
    }
    if (auto r = report_static_info(); !r) {
        return r;
    }
    return report_routing(0);
}

std::expected<void, DeviceError> apply_device_request(DaemonState& state,
                                                      const DeviceRequest& request) {
    return state.device->apply(request);
}

}  // namespace qz::avbd
