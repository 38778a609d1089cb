#include "strimo/avdecc/aecp/aem_handler.h"

#include <algorithm>
#include <string>

#include "packet/aecp.h"
#include "packet/aem_payloads.h"
#include "strimo/avdecc/aecp/control_values.h"
#include "support/log.h"

namespace qz::strimo::avdecc::commands {
namespace {

using namespace packet;
using namespace packet::aem_payload;
using aem::CommandType;
using aem::DescriptorType;
using aem::Status;
using entity::Direction;
using namespace std::chrono_literals;

constexpr Duration kLockTime = 60s;
constexpr std::size_t kMaxPayload = 2047 - aem::kHeaderControlData;

constexpr std::uint16_t dt(DescriptorType type) {
    return aem::to_u16(type);
}

Error packet_invalid(std::string cause) {
    return Error{ErrorKind::PacketInvalid, std::move(cause)};
}

// The minimum payload of each command the entity answers; others have none.
std::size_t minimum_payload(std::uint16_t command_type) {
    switch (static_cast<CommandType>(command_type)) {
        case CommandType::LOCK_ENTITY:
            return 16;
        case CommandType::READ_DESCRIPTOR:
        case CommandType::SET_SAMPLING_RATE:
        case CommandType::SET_CLOCK_SOURCE:
        case CommandType::GET_NAME:
        case CommandType::GET_AUDIO_MAP:
        case CommandType::ADD_AUDIO_MAPPINGS:
        case CommandType::REMOVE_AUDIO_MAPPINGS:
        case CommandType::START_OPERATION:
        case CommandType::ABORT_OPERATION:
            return 8;
        case CommandType::SET_STREAM_FORMAT:
            return 12;
        case CommandType::SET_STREAM_INFO:
            return 48;
        case CommandType::SET_NAME:
            return 72;
        case CommandType::SET_CONFIGURATION:
        case CommandType::GET_STREAM_FORMAT:
        case CommandType::GET_STREAM_INFO:
        case CommandType::GET_SAMPLING_RATE:
        case CommandType::GET_CLOCK_SOURCE:
        case CommandType::SET_CONTROL:
        case CommandType::GET_CONTROL:
        case CommandType::START_STREAMING:
        case CommandType::STOP_STREAMING:
        case CommandType::GET_AVB_INFO:
        case CommandType::GET_AS_PATH:
        case CommandType::GET_COUNTERS:
        case CommandType::REBOOT:
        case CommandType::GET_MEMORY_OBJECT_LENGTH:
            return 4;
        default:
            return 0;
    }
}

Status device_status(DeviceErrorKind kind) {
    switch (kind) {
        case DeviceErrorKind::IndexNotValid:
            return Status::NO_SUCH_DESCRIPTOR;
        case DeviceErrorKind::ParamsInvalid:
            return Status::BAD_ARGUMENTS;
        default:
            return Status::NOT_SUPPORTED;
    }
}

// Valid UTF-8 without overlong forms, surrogates or values above U+10FFFF.
bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if ((b & 0xE0U) == 0xC0U) {
            extra = 1;
            cp = b & 0x1FU;
        } else if ((b & 0xF0U) == 0xE0U) {
            extra = 2;
            cp = b & 0x0FU;
        } else if ((b & 0xF8U) == 0xF0U) {
            extra = 3;
            cp = b & 0x07U;
        } else {
            return false;
        }
        if (text.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0U) != 0x80U) {
                return false;
            }
            cp = (cp << 6) | (c & 0x3FU);
        }
        constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

Status status_of(const Error& error) {
    switch (error.kind) {
        case ErrorKind::NoSuchDescriptor:
            return Status::NO_SUCH_DESCRIPTOR;
        case ErrorKind::DescriptorInvalid:
        case ErrorKind::ParameterInvalid:
            log::warn(kAemTarget, "Command failed: Parameters invalid (e.g. channel size < 1)");
            return Status::BAD_ARGUMENTS;
        case ErrorKind::StreamIsRunning:
            log::warn(kAemTarget, "Command failed: Stream is running");
            return Status::STREAM_IS_RUNNING;
        case ErrorKind::AvbHook:
            if (error.cause == device_error_text(DeviceErrorKind::IndexNotValid)) {
                return Status::NO_SUCH_DESCRIPTOR;
            }
            [[fallthrough]];
        default:
            log::warn(kAemTarget, "Command failed: {}", error.text());
            return Status::ENTITY_MISBEHAVING;
    }
}

// One command being answered: its frame, payload and the handler's state.
struct AemHandler::Command {
    AemHandler& h;
    std::size_t port;
    std::span<const std::uint8_t> frame;  // cut to the control data it declares
    std::size_t payload;                  // payload bytes present
    std::uint16_t command_type;
    std::uint64_t controller;
    Bytes6 source_mac;
    Instant now;

    // Fields the minimum payload covers; a field past the present payload reads as 0.
    template <typename T>
    T at(Field<T> field) const {
        return get(frame, field).value_or(T{});
    }
    std::uint16_t descriptor_type() const { return at(kDescriptorType); }
    std::uint16_t descriptor_index() const { return at(kDescriptorIndex); }

    // The response with `payload_length` bytes of payload: the command's payload, cut or
    // zero-extended.
    std::expected<Reply, Error> reply(Status status, std::size_t payload_length) const {
        auto response = aem::make_response(frame, status, payload_length);
        if (!response) {
            return std::unexpected(Error{ErrorKind::DeviceMisbehaving, response.error().text()});
        }
        return Reply{std::move(*response), false, {}};
    }
    std::expected<Reply, Error> echo(Status status) const { return reply(status, payload); }

    // Access: the lock is free or ours. The entity is never acquired (ACQUIRE_ENTITY is not
    // implemented), so the acquire part of the rule always passes.
    std::optional<Status> denied() const {
        const auto holder = h.lock_holder(now);
        if (holder && *holder != controller) {
            return Status::ENTITY_LOCKED;
        }
        return std::nullopt;
    }

    std::expected<Reply, Error> mapped(const Error& error) const { return echo(status_of(error)); }

    template <typename T>
    static void put(Reply& r, Field<T> field, T value) {
        (void)set(std::span<std::uint8_t>(r.frame), field, value);
    }

    void changed() { h.hooks_.entity_model_changed(h.model_.entity()); }

    std::expected<Reply, Error> lock_entity();
    std::expected<Reply, Error> read_descriptor();
    std::expected<Reply, Error> set_configuration();
    std::expected<Reply, Error> get_configuration();
    std::expected<Reply, Error> set_stream_format();
    std::expected<Reply, Error> get_stream_format();
    std::expected<Reply, Error> set_stream_info();
    std::expected<Reply, Error> get_stream_info();
    std::expected<Reply, Error> set_name();
    std::expected<Reply, Error> get_name();
    std::expected<Reply, Error> set_sampling_rate();
    std::expected<Reply, Error> get_sampling_rate();
    std::expected<Reply, Error> set_clock_source();
    std::expected<Reply, Error> get_clock_source();
    std::expected<Reply, Error> set_control();
    std::expected<Reply, Error> get_control();
    std::expected<Reply, Error> streaming(bool start);
    std::expected<Reply, Error> get_avb_info();
    std::expected<Reply, Error> get_as_path();
    std::expected<Reply, Error> get_counters();
    std::expected<Reply, Error> reboot();
    std::expected<Reply, Error> get_audio_map();
    std::expected<Reply, Error> start_operation();
    std::expected<Reply, Error> get_memory_object_length();
    std::expected<Reply, Error> audio_mappings(bool add);
    std::expected<Reply, Error> dynamic_info();
};

AemHandler::AemHandler(entity::EntityModel& model, DeviceHooks& hooks, Notifier& notifier,
                       Counters& counters, StreamRuntime& runtime)
    : model_(model), hooks_(hooks), notifier_(notifier), counters_(counters), runtime_(runtime) {}

std::optional<std::uint64_t> AemHandler::lock_holder(Instant now) const {
    if (lock_holder_ && now < lock_deadline_) {
        return lock_holder_;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> AemHandler::expire_lock(std::uint64_t entity_id,
                                                                 Instant now) {
    if (!lock_holder_ || now < lock_deadline_) {
        return std::nullopt;
    }
    log::debug(kAemTarget, "Entity unlocked after timeout, owner was: {:#018x}", *lock_holder_);
    lock_holder_.reset();
    std::vector<std::uint8_t> frame(kPayloadBase + 16, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(aecp::MessageType::AEM_RESPONSE));
    (void)aem::set_payload_length(out, 16);
    (void)set(out, aecp::kTargetEntityId, entity_id);
    (void)set(out, aem::kCommandType, aem::to_u16(CommandType::LOCK_ENTITY));
    (void)set(out, kLockFlags, kLockFlagUnlock);
    (void)set(out, kLockDescriptorType, dt(DescriptorType::ENTITY));
    return frame;
}

std::expected<Reply, Error> AemHandler::handle(std::size_t port,
                                               std::span<const std::uint8_t> command, Instant now) {
    auto declared = aem::payload_length(command);
    auto type = get(command, aem::kCommandType);
    auto controller = get(command, aecp::kControllerEntityId);
    auto source = get(command, eth::kSource);
    if (!declared || !type || !controller || !source || command.size() < kPayloadBase) {
        return std::unexpected(packet_invalid("AEM command header"));
    }
    // Ethernet padding after the declared control data is not part of the command.
    const std::size_t present = std::min(*declared, command.size() - kPayloadBase);
    Command c{*this,   port, command.first(kPayloadBase + present), present, *type, *controller,
              *source, now};
    if (present < minimum_payload(*type)) {
        return std::unexpected(packet_invalid(
            fmt::format("{} with {} bytes of payload", aem::command_type_name(*type), present)));
    }
    return dispatch(c);
}

std::expected<Reply, Error> AemHandler::dispatch(Command& c) {
    std::expected<Reply, Error> reply;
    switch (static_cast<CommandType>(c.command_type)) {
        case CommandType::LOCK_ENTITY:
            reply = c.lock_entity();
            break;
        case CommandType::ENTITY_AVAILABLE:
            reply = c.echo(Status::SUCCESS);
            break;
        case CommandType::READ_DESCRIPTOR:
            reply = c.read_descriptor();
            break;
        case CommandType::SET_CONFIGURATION:
            reply = c.set_configuration();
            break;
        case CommandType::GET_CONFIGURATION:
            reply = c.get_configuration();
            break;
        case CommandType::SET_STREAM_FORMAT:
            reply = c.set_stream_format();
            break;
        case CommandType::GET_STREAM_FORMAT:
            reply = c.get_stream_format();
            break;
        case CommandType::SET_STREAM_INFO:
            reply = c.set_stream_info();
            break;
        case CommandType::GET_STREAM_INFO:
            reply = c.get_stream_info();
            break;
        case CommandType::SET_NAME:
            reply = c.set_name();
            break;
        case CommandType::GET_NAME:
            reply = c.get_name();
            break;
        case CommandType::SET_SAMPLING_RATE:
            reply = c.set_sampling_rate();
            break;
        case CommandType::GET_SAMPLING_RATE:
            reply = c.get_sampling_rate();
            break;
        case CommandType::SET_CLOCK_SOURCE:
            reply = c.set_clock_source();
            break;
        case CommandType::GET_CLOCK_SOURCE:
            reply = c.get_clock_source();
            break;
        case CommandType::SET_CONTROL:
            reply = c.set_control();
            break;
        case CommandType::GET_CONTROL:
            reply = c.get_control();
            break;
        case CommandType::START_STREAMING:
            reply = c.streaming(true);
            break;
        case CommandType::STOP_STREAMING:
            reply = c.streaming(false);
            break;
        case CommandType::REGISTER_UNSOLICITED_NOTIFICATION:
            // NO_RESOURCES (8) when the subscriber list is full.
            reply = notifier_.register_controller(c.port, c.source_mac, c.controller, c.now)
                        ? c.echo(Status::SUCCESS)
                        : c.echo(static_cast<Status>(8));
            break;
        case CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION:
            notifier_.deregister_controller(c.controller);
            reply = c.echo(Status::SUCCESS);
            break;
        case CommandType::GET_AVB_INFO:
            reply = c.get_avb_info();
            break;
        case CommandType::GET_AS_PATH:
            reply = c.get_as_path();
            break;
        case CommandType::GET_COUNTERS:
            reply = c.get_counters();
            break;
        case CommandType::REBOOT:
            reply = c.reboot();
            break;
        case CommandType::GET_AUDIO_MAP:
            reply = c.get_audio_map();
            break;
        case CommandType::START_OPERATION:
            reply = c.start_operation();
            break;
        case CommandType::GET_MEMORY_OBJECT_LENGTH:
            reply = c.get_memory_object_length();
            break;
        case CommandType::ADD_AUDIO_MAPPINGS:
            reply = c.audio_mappings(true);
            break;
        case CommandType::REMOVE_AUDIO_MAPPINGS:
            reply = c.audio_mappings(false);
            break;
        case CommandType::GET_DYNAMIC_INFO:
            reply = c.dynamic_info();
            break;
        default:
            // ACQUIRE_ENTITY, ABORT_OPERATION, and every command this entity does not carry.
            reply = c.echo(Status::NOT_IMPLEMENTED);
            break;
    }
    if (reply) {
        const auto status = get(std::span<const std::uint8_t>(reply->frame), avtp::kStatus);
        reply->notify = status && *status == static_cast<std::uint16_t>(Status::SUCCESS) &&
                        is_notified_command(c.command_type);
    }
    return reply;
}

std::expected<Reply, Error> AemHandler::Command::lock_entity() {
    if (at(kLockDescriptorType) != dt(DescriptorType::ENTITY) || at(kLockDescriptorIndex) != 0) {
        return echo(Status::NOT_SUPPORTED);
    }
    if (auto refused = denied()) {
        auto r = echo(*refused);
        if (r) {
            put(*r, kLockedEntityId, h.lock_holder(now).value_or(0));
        }
        return r;
    }
    auto r = echo(Status::SUCCESS);
    if (!r) {
        return r;
    }
    if ((at(kLockFlags) & kLockFlagUnlock) != 0) {
        h.lock_holder_.reset();
        put(*r, kLockedEntityId, std::uint64_t{0});
    } else {
        h.lock_holder_ = controller;
        h.lock_deadline_ = now + kLockTime;
        put(*r, kLockedEntityId, controller);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::read_descriptor() {
    const auto configuration = at(kReadConfigurationIndex);
    const auto type = at(kReadDescriptorType);
    const auto index = at(kReadDescriptorIndex);
    auto bytes = h.model_.read_descriptor(configuration, type, index);
    if (!bytes) {
        log::warn(kAemTarget, "Descriptor {:#x}/{} not found!", type, index);
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    if (bytes->size() > kMaxPayload - 4) {
        return std::unexpected(Error{ErrorKind::DeviceMisbehaving, "descriptor too large"});
    }
    auto r = reply(Status::SUCCESS, 4 + bytes->size());
    if (r) {
        std::copy(bytes->begin(), bytes->end(), r->frame.begin() + kDescriptorOffset);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::set_configuration() {
    const auto current = h.model_.entity().current_configuration;
    auto answer = [&](Status status) {
        auto r = reply(status, 4);
        if (r) {
            put(*r, kConfigurationIndex, current);
        }
        return r;
    };
    if (auto refused = denied()) {
        return answer(*refused);
    }
    if (at(kConfigurationIndex) != current) {
        return answer(Status::NO_SUCH_DESCRIPTOR);
    }
    if (h.runtime_.any_input_bound() || h.runtime_.any_output_streaming()) {
        return answer(status_of(Error{ErrorKind::StreamIsRunning, {}}));
    }
    return answer(Status::SUCCESS);
}

std::expected<Reply, Error> AemHandler::Command::get_configuration() {
    auto r = reply(Status::SUCCESS, 4);
    if (r) {
        put(*r, kConfigurationIndex, h.model_.entity().current_configuration);
    }
    return r;
}

namespace {
std::optional<Direction> stream_direction(std::uint16_t type) {
    if (type == aem::to_u16(DescriptorType::STREAM_INPUT)) {
        return Direction::Input;
    }
    if (type == aem::to_u16(DescriptorType::STREAM_OUTPUT)) {
        return Direction::Output;
    }
    return std::nullopt;
}

struct FormatParts {
    std::uint32_t rate;
    unsigned channels;
    unsigned subtype;
};

// Rate, channel count and subtype of a stream format: AAF (nsr in bits 51-48, channels_per_frame
// in bits 31-22) or IEC 61883-6 AM824 (sfc in the low 3 bits of byte 2, dbs in byte 3); other
// formats carry no channels.
FormatParts format_parts(std::uint64_t format) {
    const auto subtype = static_cast<unsigned>(format >> 56) & 0x7FU;
    if (subtype == 0x02) {
        constexpr std::uint32_t kRates[] = {0,     8000,  16000,  32000,  44100, 48000,
                                            88200, 96000, 176400, 192000, 24000, 0,
                                            0,     0,     0,      0};
        return FormatParts{kRates[(format >> 48) & 0x0FU],
                           static_cast<unsigned>(format >> 22) & 0x3FFU, subtype};
    }
    if (subtype == 0x00 && ((format >> 48) & 0x3FU) == 0x20) {
        constexpr std::uint32_t kRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 0};
        return FormatParts{kRates[(format >> 40) & 0x07U],
                           static_cast<unsigned>(format >> 32) & 0xFFU, subtype};
    }
    return FormatParts{0, 0, subtype};
}
}  // namespace

std::expected<Reply, Error> AemHandler::Command::set_stream_format() {
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto direction = stream_direction(type);
    if (!direction) {
        auto r = reply(Status::BAD_ARGUMENTS, kStreamFormatPayload);
        if (r) {
            put(*r, kStreamFormat, std::uint64_t{0});
        }
        return r;
    }
    auto stream = h.model_.stream(*direction, index);
    if (!stream) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto current = (*stream)->current_stream_format;
    auto answer = [&](Status status, std::uint64_t format) {
        auto r = reply(status, kStreamFormatPayload);
        if (r) {
            put(*r, kStreamFormat, format);
        }
        return r;
    };
    if (auto refused = denied()) {
        return answer(*refused, current);
    }
    const auto format = at(kStreamFormat);
    const auto parts = format_parts(format);
    log::info(
        kAemTarget, "SET_STREAM_FORMAT({}, {}) rate: {} channels: {} subtype: {} raw {:#018x}",
        aem::descriptor_type_name(type), index, parts.rate, parts.channels, parts.subtype, format);
    const auto& formats = (*stream)->stream_formats;
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
        return answer(status_of(Error{ErrorKind::ParameterInvalid, {}}), current);
    }
    // The stream and its redundant partners change together.
    std::vector<std::uint16_t> indices{index};
    for (auto partner : (*stream)->redundant_streams) {
        auto other = h.model_.stream(*direction, partner);
        if (partner == index || !other) {
            continue;
        }
        const auto& accepted = (*other)->stream_formats;
        if (std::find(accepted.begin(), accepted.end(), format) == accepted.end()) {
            return answer(status_of(Error{ErrorKind::ParameterInvalid, {}}), current);
        }
        indices.push_back(partner);
    }
    for (auto i : indices) {
        const bool running = *direction == Direction::Input ? h.runtime_.input_bound(i)
                                                            : h.runtime_.output_streaming(i);
        if (running) {
            return answer(status_of(Error{ErrorKind::StreamIsRunning, {}}), current);
        }
    }
    for (auto i : indices) {
        auto applied = *direction == Direction::Input
                           ? h.hooks_.set_stream_input_format(i, format)
                           : h.hooks_.set_stream_output_format(i, format);
        if (!applied) {
            return answer(status_of(Error{ErrorKind::DeviceMisbehaving,
                                          std::string(device_error_text(applied.error()))}),
                          current);
        }
        const auto before = h.model_.stream(*direction, i);
        const bool differs = before && (*before)->current_stream_format != format;
        log::info(kAemTarget, "Setting stream format of #{} to {:#018x}", i, format);
        (void)h.model_.set_current_stream_format(*direction, i, format);
        if (differs) {
            if (*direction == Direction::Input && i < h.runtime_.sinks.size()) {
                h.runtime_.sinks[i].changed = true;
            } else if (*direction == Direction::Output && i < h.runtime_.sources.size()) {
                h.runtime_.sources[i].changed = true;
            }
        }
    }
    changed();
    return answer(Status::SUCCESS, format);
}

std::expected<Reply, Error> AemHandler::Command::get_stream_format() {
    const auto direction = stream_direction(descriptor_type());
    if (!direction) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto stream = h.model_.stream(*direction, descriptor_index());
    if (!stream) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    log::debug(kAemTarget, "Get stream format... {:#018x}", (*stream)->current_stream_format);
    auto r = reply(Status::SUCCESS, kStreamFormatPayload);
    if (r) {
        put(*r, kStreamFormat, (*stream)->current_stream_format);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::set_stream_info() {
    if (descriptor_type() != dt(DescriptorType::STREAM_OUTPUT) ||
        (at(kStreamInfoFlags) & ~kMsrpAccLatValid) != 0) {
        return echo(Status::NOT_SUPPORTED);
    }
    const auto index = descriptor_index();
    auto stream = h.model_.stream(Direction::Output, index);
    if (!stream) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    if (auto refused = denied()) {
        return echo(*refused);
    }
    std::vector<std::uint16_t> indices{index};
    for (auto partner : (*stream)->redundant_streams) {
        if (partner != index && h.model_.stream(Direction::Output, partner)) {
            indices.push_back(partner);
        }
    }
    for (auto i : indices) {
        if (h.runtime_.output_streaming(i)) {
            return mapped(Error{ErrorKind::StreamIsRunning, {}});
        }
    }
    if ((at(kStreamInfoFlags) & kMsrpAccLatValid) != 0) {
        const auto latency = at(kMsrpAccumulatedLatency);
        for (auto i : indices) {
            if (auto applied = h.hooks_.set_presentation_time_offset(i, latency); !applied) {
                return mapped(Error{ErrorKind::DeviceMisbehaving,
                                    std::string(device_error_text(applied.error()))});
            }
            const auto before = h.model_.stream(Direction::Output, i);
            const bool differs = before && (*before)->presentation_time_offset != latency;
            (void)h.model_.set_presentation_time_offset(Direction::Output, i, latency);
            if (differs && i < h.runtime_.sources.size()) {
                h.runtime_.sources[i].changed = true;
            }
        }
        changed();
    }
    return echo(Status::SUCCESS);
}

std::expected<Reply, Error> AemHandler::Command::get_stream_info() {
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto direction = stream_direction(type);
    if (!direction) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto stream = h.model_.stream(*direction, index);
    if (!stream) {
        log::error(kAemTarget, "No such descriptor: {} {}", aem::descriptor_type_name(type), index);
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kStreamInfoPayload);
    if (!r) {
        return r;
    }
    // Only what holds without a binding or a reservation: the format, and for an output its
    // accumulated latency. Binding, SRP and probing state add to these once they exist.
    std::uint32_t flags = kStreamFormatValid;
    if (*direction == Direction::Input) {
        if (index < h.runtime_.sinks.size() && h.runtime_.sinks[index].streaming_wait) {
            flags |= 0x0008U;  // STREAMING_WAIT
        }
    } else {
        flags |= kMsrpAccLatValid;
        put(*r, kMsrpAccumulatedLatency, (*stream)->presentation_time_offset.value_or(0));
    }
    put(*r, kStreamInfoFlags, flags);
    put(*r, kStreamInfoFormat, (*stream)->current_stream_format);
    return r;
}

namespace {
// The descriptor types whose object_name SET_NAME and GET_NAME reach with name_index 0.
bool has_object_name(std::uint16_t type) {
    switch (static_cast<DescriptorType>(type)) {
        case DescriptorType::CONFIGURATION:
        case DescriptorType::AUDIO_UNIT:
        case DescriptorType::STREAM_INPUT:
        case DescriptorType::STREAM_OUTPUT:
        case DescriptorType::JACK_INPUT:
        case DescriptorType::JACK_OUTPUT:
        case DescriptorType::AVB_INTERFACE:
        case DescriptorType::CLOCK_SOURCE:
        case DescriptorType::MEMORY_OBJECT:
        case DescriptorType::AUDIO_CLUSTER:
        case DescriptorType::CONTROL:
        case DescriptorType::CLOCK_DOMAIN:
            return true;
        default:
            return false;
    }
}

// Where the ENTITY descriptor keeps entity_name and group_name.
constexpr std::size_t kEntityNameOffset = 48;
constexpr std::size_t kGroupNameOffset = 180;
// Every other named descriptor starts with its object_name after type and index.
constexpr std::size_t kObjectNameOffset = 4;
}  // namespace

std::expected<Reply, Error> AemHandler::Command::set_name() {
    if (auto refused = denied()) {
        return echo(*refused);
    }
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto name_index = at(kNameIndex);
    const auto raw = frame.subspan(kNameOffset, kNameBytes);
    const auto end = std::find(raw.begin(), raw.end(), std::uint8_t{0});
    std::string name(raw.begin(), end);
    if (!valid_utf8(name)) {
        log::error(kAemTarget, "Unable to parse name from SET_NAME method: {}",
                   "invalid utf-8 sequence");
        return echo(Status::BAD_ARGUMENTS);
    }
    if (type == dt(DescriptorType::ENTITY)) {
        if (index != 0) {
            return echo(Status::NO_SUCH_DESCRIPTOR);
        }
        if (name_index == 0) {
            auto kept = h.hooks_.set_entity_name(std::move(name));
            if (!kept) {
                return echo(device_status(kept.error()));
            }
            h.model_.set_entity_name(std::move(*kept));
        } else if (name_index == 1) {
            h.model_.set_group_name(std::move(name));
        } else {
            return echo(Status::BAD_ARGUMENTS);
        }
        changed();
        return echo(Status::SUCCESS);
    }
    if (type == dt(DescriptorType::MEMORY_OBJECT) && name_index != 0) {
        if (auto set_name = h.hooks_.set_memory_object_name(index, name_index, name); !set_name) {
            return echo(device_status(set_name.error()));
        }
        return echo(Status::SUCCESS);
    }
    if (name_index != 0 || !has_object_name(type)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    if (auto named = h.model_.set_object_name(type, index, std::move(name)); !named) {
        return mapped(named.error());
    }
    changed();
    return echo(Status::SUCCESS);
}

std::expected<Reply, Error> AemHandler::Command::get_name() {
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto name_index = at(kNameIndex);
    auto answer = [&](std::string_view name) {
        auto r = reply(Status::SUCCESS, kNamePayload);
        if (r) {
            const auto kept = entity::name_prefix(name);
            std::copy(kept.begin(), kept.end(), r->frame.begin() + kNameOffset);
        }
        return r;
    };
    if (type == dt(DescriptorType::MEMORY_OBJECT) && name_index != 0) {
        auto name = h.hooks_.get_memory_object_name(index, name_index);
        if (!name) {
            return echo(device_status(name.error()));
        }
        return answer(*name);
    }
    std::size_t offset = kObjectNameOffset;
    if (type == dt(DescriptorType::ENTITY)) {
        if (name_index > 1) {
            return echo(Status::BAD_ARGUMENTS);
        }
        offset = name_index == 0 ? kEntityNameOffset : kGroupNameOffset;
    } else if (name_index != 0 || !has_object_name(type)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    const auto configuration = type == dt(DescriptorType::ENTITY)
                                   ? h.model_.entity().current_configuration
                                   : at(kNameConfigurationIndex);
    auto bytes = h.model_.read_descriptor(configuration, type, index);
    if (!bytes) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    if (bytes->size() < offset + kNameBytes) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto r = reply(Status::SUCCESS, kNamePayload);
    if (r) {
        std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(offset), kNameBytes,
                    r->frame.begin() + kNameOffset);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::set_sampling_rate() {
    if (descriptor_type() != dt(DescriptorType::AUDIO_UNIT)) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto unit = h.model_.audio_unit(descriptor_index());
    if (!unit) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto answer = [&](Status status, std::uint32_t rate) {
        auto r = reply(status, kSamplingRatePayload);
        if (r) {
            put(*r, kSamplingRate, rate);
        }
        return r;
    };
    const auto current = (*unit)->current_sampling_rate;
    if (auto refused = denied()) {
        return answer(*refused, current);
    }
    const auto rate = at(kSamplingRate);
    // A rate the audio unit does not list would leave the model describing a state the
    // descriptors say is impossible.
    const auto& rates = (*unit)->sampling_rates;
    if (std::find(rates.begin(), rates.end(), rate) == rates.end()) {
        log::error(kAemTarget, "Unable to set media clock rate {}", rate);
        return answer(Status::BAD_ARGUMENTS, current);
    }
    if (auto applied = h.hooks_.set_sampling_rate(rate); !applied) {
        log::error(kAemTarget, "Unable to set media clock rate {}", rate);
        return answer(applied.error() == DeviceErrorKind::ParamsInvalid
                          ? Status::BAD_ARGUMENTS
                          : Status::ENTITY_MISBEHAVING,
                      current);
    }
    (void)h.model_.set_current_sampling_rate(descriptor_index(), rate);
    log::debug(kAemTarget, "Successfully updated rate to {}", rate);
    changed();
    return answer(Status::SUCCESS, rate);
}

std::expected<Reply, Error> AemHandler::Command::get_sampling_rate() {
    if (descriptor_type() != dt(DescriptorType::AUDIO_UNIT)) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto unit = h.model_.audio_unit(descriptor_index());
    if (!unit) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kSamplingRatePayload);
    if (r) {
        put(*r, kSamplingRate, (*unit)->current_sampling_rate);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::set_clock_source() {
    if (descriptor_type() != dt(DescriptorType::CLOCK_DOMAIN)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto domain = h.model_.clock_domain(descriptor_index());
    if (!domain) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto source = at(kClockSourceIndex);
    if (source >= (*domain)->clock_sources.size()) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto answer = [&](Status status, std::uint16_t value) {
        auto r = reply(status, kClockSourcePayload);
        if (r) {
            put(*r, kClockSourceIndex, value);
        }
        return r;
    };
    if (auto refused = denied()) {
        return answer(*refused, (*domain)->clock_source_index);
    }
    if (auto applied = h.hooks_.set_clock_source(source); !applied) {
        log::error(kAemTarget, "Unable to set media clock source {}", source);
        return answer(Status::ENTITY_MISBEHAVING, (*domain)->clock_source_index);
    }
    (void)h.model_.set_clock_source_index(descriptor_index(), source);
    log::debug(kAemTarget, "Successfully updated clock source to {}", source);
    changed();
    return answer(Status::SUCCESS, source);
}

std::expected<Reply, Error> AemHandler::Command::get_clock_source() {
    if (descriptor_type() != dt(DescriptorType::CLOCK_DOMAIN)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto domain = h.model_.clock_domain(descriptor_index());
    if (!domain) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kClockSourcePayload);
    if (r) {
        put(*r, kClockSourceIndex, (*domain)->clock_source_index);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::set_control() {
    if (descriptor_type() != dt(DescriptorType::CONTROL)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    const auto index = descriptor_index();
    auto control = h.model_.control(index);
    if (!control) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto& current = (*control)->values;
    auto answer = [&](Status status, const entity::ControlValues& values) {
        auto r = reply(status, 4 + encode_current_values(values).size());
        if (r) {
            const auto bytes = encode_current_values(values);
            std::copy(bytes.begin(), bytes.end(), r->frame.begin() + kControlValuesOffset);
        }
        return r;
    };
    if (!(*control)->settable_without_lock) {
        if (auto refused = denied()) {
            return answer(*refused, current);
        }
    }
    if ((*control)->read_only) {
        return answer(Status::NOT_SUPPORTED, current);
    }
    auto parsed = decode_current_values(current, frame.subspan(kControlValuesOffset));
    if (!parsed) {
        log::warn(kAemTarget, "Invalid SET_CONTROL for {}: {}", index, parsed.error());
        return answer(Status::BAD_ARGUMENTS, current);
    }
    if (auto applied = h.hooks_.set_control(index, *parsed); !applied) {
        log::warn(kAemTarget, "Device couldn't apply SET_CONTROL for {}: {}", index,
                  device_error_text(applied.error()));
        return answer(Status::BAD_ARGUMENTS, current);
    }
    auto values = *parsed;
    (void)h.model_.set_control_values(index, std::move(*parsed));
    changed();
    return answer(Status::SUCCESS, values);
}

std::expected<Reply, Error> AemHandler::Command::get_control() {
    if (descriptor_type() != dt(DescriptorType::CONTROL)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    auto control = h.model_.control(descriptor_index());
    if (!control) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto bytes = encode_current_values((*control)->values);
    auto r = reply(Status::SUCCESS, 4 + bytes.size());
    if (r) {
        std::copy(bytes.begin(), bytes.end(), r->frame.begin() + kControlValuesOffset);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::streaming(bool start) {
    if (auto refused = denied()) {
        return echo(*refused);
    }
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    if (type == dt(DescriptorType::STREAM_OUTPUT)) {
        return echo(Status::NOT_SUPPORTED);
    }
    if (type != dt(DescriptorType::STREAM_INPUT)) {
        return echo(Status::BAD_ARGUMENTS);
    }
    if (!h.model_.stream(Direction::Input, index) || index >= h.runtime_.sinks.size()) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    // STREAMING_WAIT holds a bound sink's hardware input off. A sink that is not enabled (no
    // binding yet) only keeps the flag; the stream state machine applies it once it settles.
    auto& sink = h.runtime_.sinks[index];
    log::info(kAemTarget, "\tListener {} {} streaming", index, start ? "start" : "stop");
    if (sink.streaming_wait == start) {
        sink.changed = true;
    }
    sink.streaming_wait = !start;
    return echo(Status::SUCCESS);
}

std::expected<Reply, Error> AemHandler::Command::get_avb_info() {
    const auto index = descriptor_index();
    const auto& entity = h.model_.entity();
    const bool present =
        entity.current_configuration < entity.configurations.size() &&
        index < entity.configurations[entity.current_configuration].avb_interfaces.size();
    if (descriptor_type() != dt(DescriptorType::AVB_INTERFACE) || index > 1 || !present) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kAvbInfoPayload);
    if (!r) {
        return r;
    }
    std::uint64_t grandmaster = 0;
    std::uint32_t delay = 0;
    if (h.gptp_ != nullptr) {
        const auto& state = h.gptp_->port(index);
        grandmaster = state.grandmaster_id.value_or(0);
        delay = state.propagation_delay;
    }
    put(*r, kGptpGrandmasterId, grandmaster);
    put(*r, kPropagationDelay, delay);
    put(*r, kGptpDomainNumber, std::uint8_t{0});
    put(*r, kAvbInfoFlags, std::uint8_t{7});  // AS_CAPABLE, GPTP_ENABLED, SRP_ENABLED
    put(*r, kMsrpMappingsCount, std::uint16_t{1});
    put(*r, kMsrpTrafficClass, std::uint8_t{6});
    put(*r, kMsrpPriority, std::uint8_t{3});
    put(*r, kMsrpVlanId, std::uint16_t{2});
    return r;
}

std::expected<Reply, Error> AemHandler::Command::get_as_path() {
    const auto index = at(kAsPathDescriptorIndex);
    if (index > 1) {
        auto r = reply(Status::NO_SUCH_DESCRIPTOR, 4);
        if (r) {
            put(*r, kAsPathCount, std::uint16_t{0});
        }
        return r;
    }
    std::vector<std::uint64_t> path;
    if (h.gptp_ != nullptr) {
        path = h.gptp_->port(index).as_path;
    }
    // A path longer than one frame carries is cut to what fits.
    const std::size_t fits = (kMaxPayload - 4) / 8;
    path.resize(std::min(path.size(), fits));
    auto r = reply(Status::SUCCESS, 4 + 8 * path.size());
    if (r) {
        put(*r, kAsPathCount, static_cast<std::uint16_t>(path.size()));
        for (std::size_t i = 0; i < path.size(); ++i) {
            put(*r, Field<std::uint64_t>{kAsPathOffset + 8 * i}, path[i]);
        }
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::get_counters() {
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto& entity = h.model_.entity();
    if (entity.current_configuration >= entity.configurations.size()) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto& configuration = entity.configurations[entity.current_configuration];
    std::size_t count = 0;
    switch (static_cast<DescriptorType>(type)) {
        case DescriptorType::ENTITY:
            count = 1;
            break;
        case DescriptorType::STREAM_INPUT:
            count = configuration.input_streams.size();
            break;
        case DescriptorType::STREAM_OUTPUT:
            count = configuration.output_streams.size();
            break;
        case DescriptorType::AVB_INTERFACE:
            count = std::min<std::size_t>(configuration.avb_interfaces.size(), 2);
            break;
        case DescriptorType::CLOCK_DOMAIN:
            count = std::min<std::size_t>(configuration.clock_domains.size(), 1);
            break;
        default:
            return echo(Status::NOT_SUPPORTED);
    }
    if (index >= count) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kCountersPayload);
    if (!r) {
        return r;
    }
    const auto block = h.counters_.block(type, index);
    put(*r, kCountersValid, block.valid);
    for (std::size_t i = 0; i < kCounterSlots; ++i) {
        put(*r, Field<std::uint32_t>{kCountersOffset + 4 * i}, block.values[i]);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::reboot() {
    if (auto refused = denied()) {
        return echo(*refused);
    }
    const auto type = descriptor_type();
    std::expected<RebootAction, DeviceErrorKind> action =
        std::unexpected(DeviceErrorKind::NotSupported);
    if (type == dt(DescriptorType::ENTITY) && descriptor_index() == 0) {
        action = h.hooks_.prepare_reboot();
    } else if (type == dt(DescriptorType::MEMORY_OBJECT)) {
        action = h.hooks_.prepare_reboot_into_memory_object(descriptor_index());
    }
    if (!action || !*action) {
        return echo(Status::NOT_SUPPORTED);
    }
    auto r = echo(Status::SUCCESS);
    if (r) {
        r->after = std::move(*action);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::get_audio_map() {
    const auto type = descriptor_type();
    Direction direction;
    if (type == dt(DescriptorType::STREAM_PORT_INPUT)) {
        direction = Direction::Input;
    } else if (type == dt(DescriptorType::STREAM_PORT_OUTPUT)) {
        direction = Direction::Output;
    } else {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto port_found = h.model_.stream_port(direction, descriptor_index());
    if (!port_found) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto& stream_port = **port_found;
    // One response carries at most this many mappings; dynamic mappings beyond it are split
    // into further maps so that every mapping stays reachable.
    constexpr std::size_t kPerMap = (kMaxPayload - (kMappingsOffset - kPayloadBase)) / kMappingSize;
    std::vector<std::span<const entity::AudioMapping>> maps;
    if (!stream_port.maps.empty()) {
        if (!stream_port.maps_dyn.empty()) {
            log::warn(kAemTarget, "{} {}, has static and dynamic mappings, ignoring dynamic ones",
                      aem::descriptor_type_name(type), descriptor_index());
        }
        for (const auto& map : stream_port.maps) {
            maps.emplace_back(map.audio_mapping);
        }
    } else {
        std::span<const entity::AudioMapping> all(stream_port.maps_dyn);
        do {
            const auto n = std::min(all.size(), kPerMap);
            maps.push_back(all.first(n));
            all = all.subspan(n);
        } while (!all.empty());
    }
    const auto map_index = at(kMapIndex);
    if (map_index >= maps.size() || maps[map_index].size() > kPerMap) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto& mappings = maps[map_index];
    auto r =
        reply(Status::SUCCESS, kMappingsOffset - kPayloadBase + kMappingSize * mappings.size());
    if (!r) {
        return r;
    }
    put(*r, kMapIndex, map_index);
    put(*r, kNumberOfMaps, static_cast<std::uint16_t>(maps.size()));
    put(*r, kNumberOfMappings, static_cast<std::uint16_t>(mappings.size()));
    put(*r, Field<std::uint16_t>{48}, std::uint16_t{0});
    for (std::size_t i = 0; i < mappings.size(); ++i) {
        const auto offset = kMappingsOffset + kMappingSize * i;
        put(*r, Field<std::uint16_t>{offset}, mappings[i].stream_index);
        put(*r, Field<std::uint16_t>{offset + 2}, mappings[i].stream_channel);
        put(*r, Field<std::uint16_t>{offset + 4}, mappings[i].cluster_offset);
        put(*r, Field<std::uint16_t>{offset + 6}, mappings[i].cluster_channel);
    }
    return r;
}

std::expected<Reply, Error> AemHandler::Command::start_operation() {
    const auto id = h.operation_id_++;
    const auto type = descriptor_type();
    const auto index = descriptor_index();
    const auto operation = at(kOperationType);
    const auto values = frame.subspan(kOperationValuesOffset);
    auto answer = [&](Status status) {
        auto r = echo(status);
        if (r) {
            put(*r, kOperationId, id);
        }
        return r;
    };
    if (type == dt(DescriptorType::MEMORY_OBJECT)) {
        if (auto refused = denied()) {
            return answer(*refused);
        }
        HookResult done;
        switch (operation) {
            case 0:  // STORE
            case 1:  // STORE_AND_REBOOT
                done = h.hooks_.store_memory_object(index, static_cast<std::uint8_t>(operation));
                break;
            case 2:  // READ
                done = h.hooks_.read_memory_object(index);
                break;
            case 3:  // ERASE
                return answer(Status::NOT_SUPPORTED);
            case 4: {  // UPLOAD
                if (values.size() < 8) {
                    return answer(Status::BAD_ARGUMENTS);
                }
                const auto length = at(Field<std::uint64_t>{kOperationValuesOffset});
                auto object = h.model_.memory_object(index);
                if (!object || length > (*object)->maximum_length) {
                    return answer(Status::NO_SUCH_DESCRIPTOR);
                }
                done = h.hooks_.upload_memory_object(index, 0, length);
                if (done) {
                    (void)h.model_.set_memory_object_length(index, length);
                    changed();
                }
                break;
            }
            default:
                return answer(Status::NOT_SUPPORTED);
        }
        return answer(done ? Status::SUCCESS : device_status(done.error()));
    }
    if (type == dt(DescriptorType::CONTROL)) {
        const bool access = !denied().has_value();
        auto done = h.hooks_.start_control_operation(operation, index, access, values);
        if (done) {
            return answer(Status::SUCCESS);
        }
        if (done.error() == DeviceErrorKind::Locked) {
            return answer(denied().value_or(Status::ENTITY_LOCKED));
        }
        return answer(Status::BAD_ARGUMENTS);
    }
    return answer(Status::NOT_SUPPORTED);
}

std::expected<Reply, Error> AemHandler::Command::get_memory_object_length() {
    auto object = h.model_.memory_object(descriptor_index());
    if (!object) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    auto r = reply(Status::SUCCESS, kMemoryObjectLengthPayload);
    if (r) {
        put(*r, kMemoryObjectLength, (*object)->length);
    }
    return r;
}

namespace {
constexpr std::string_view kAudioMapTarget = "strimo::avdecc::aecp::aem::audio_map";
constexpr std::size_t kMappingCountOffset = 42;
constexpr std::size_t kChangedMappingsOffset = 46;
}  // namespace

std::expected<Reply, Error> AemHandler::Command::audio_mappings(bool add) {
    const auto type = descriptor_type();
    Direction direction;
    if (type == dt(DescriptorType::STREAM_PORT_INPUT)) {
        direction = Direction::Input;
    } else if (type == dt(DescriptorType::STREAM_PORT_OUTPUT)) {
        direction = Direction::Output;
    } else {
        return echo(Status::BAD_ARGUMENTS);
    }
    if (auto refused = denied()) {
        return echo(*refused);
    }
    const auto port_index = descriptor_index();
    auto found = h.model_.stream_port(direction, port_index);
    if (!found) {
        return echo(Status::NO_SUCH_DESCRIPTOR);
    }
    const auto& stream_port = **found;
    if (!stream_port.maps.empty()) {
        return echo(Status::NOT_SUPPORTED);  // only ports without static maps are mapped
    }
    const auto count = at(Field<std::uint16_t>{kMappingCountOffset});
    if ((count & 0xE000U) != 0 ||
        frame.size() < kChangedMappingsOffset + std::size_t{count} * kMappingSize) {
        return echo(Status::BAD_ARGUMENTS);
    }
    std::vector<entity::AudioMapping> request;
    for (std::size_t i = 0; i < count; ++i) {
        const auto offset = kChangedMappingsOffset + kMappingSize * i;
        request.push_back({at(Field<std::uint16_t>{offset}), at(Field<std::uint16_t>{offset + 2}),
                           at(Field<std::uint16_t>{offset + 4}),
                           at(Field<std::uint16_t>{offset + 6})});
    }
    const auto unit = h.model_.audio_unit(0);
    const auto rate = unit ? (*unit)->current_sampling_rate : 0;
    const auto stream_direction =
        direction == Direction::Input ? Direction::Input : Direction::Output;
    auto refuse = [&](std::string_view why, bool error_level = false) {
        if (error_level) {
            log::error(kAudioMapTarget, "{}", why);
        } else {
            log::warn(kAudioMapTarget, "{}", why);
        }
        return echo(Status::BAD_ARGUMENTS);
    };
    // The whole request is checked before anything changes.
    for (std::size_t i = 0; i < request.size(); ++i) {
        const auto& m = request[i];
        if (m.cluster_channel != 0) {
            return refuse("Controller not MILAN compliant, cluster channel > 0 ", true);
        }
        for (std::size_t k = 0; k < i; ++k) {
            if (request[k].cluster_offset == m.cluster_offset) {
                return refuse("Mapping with duplicated cluster channel");
            }
            if (request[k].stream_index == m.stream_index &&
                request[k].stream_channel == m.stream_channel) {
                return refuse("Mapping with duplicated stream channel");
            }
        }
        if (m.cluster_offset >= stream_port.clusters.size()) {
            return refuse("Mapping with invalid cluster offset");
        }
        auto stream = h.model_.stream(stream_direction, m.stream_index);
        if (!stream) {
            return refuse("Mapping with invalid stream channel");
        }
        const auto parts = format_parts((*stream)->current_stream_format);
        if (m.stream_channel >= parts.channels) {
            return refuse("Mapping with invalid stream channel");
        }
        if (parts.rate != rate) {
            return refuse("Mapping with invalid sampling rate");
        }
        if (direction == Direction::Output) {
            if (add) {
                for (const auto& existing : stream_port.maps_dyn) {
                    if (existing.stream_index == m.stream_index &&
                        existing.stream_channel == m.stream_channel &&
                        existing.cluster_offset != m.cluster_offset) {
                        return refuse("Output mapping conflicts with existing mapping");
                    }
                }
            }
            if (h.runtime_.output_streaming(m.stream_index)) {
                return refuse(add ? "Trying to add mapping with active source"
                                  : "Trying to remove mapping with active source");
            }
        }
        if (!add && std::find(stream_port.maps_dyn.begin(), stream_port.maps_dyn.end(), m) ==
                        stream_port.maps_dyn.end()) {
            return refuse("Mapping to remove does not exist");
        }
    }
    auto mappings = stream_port.maps_dyn;
    for (const auto& m : request) {
        if (add) {
            // A cluster of an input port has one source: a new mapping replaces the old one.
            if (direction == Direction::Input) {
                std::erase_if(mappings, [&](const auto& old) {
                    return old.cluster_offset == m.cluster_offset;
                });
            }
            if (std::find(mappings.begin(), mappings.end(), m) == mappings.end()) {
                mappings.push_back(m);
            }
        } else {
            std::erase(mappings, m);
        }
    }
    auto applied = direction == Direction::Input ? h.hooks_.apply_input_audio_map(mappings)
                                                 : h.hooks_.apply_output_audio_map(mappings);
    if (!applied) {
        log::warn(kAemTarget, "Command failed: {}", device_error_text(applied.error()));
        return echo(Status::ENTITY_MISBEHAVING);
    }
    (void)h.model_.set_dynamic_mappings(direction, port_index, std::move(mappings));
    changed();
    return echo(Status::SUCCESS);
}

namespace {
constexpr std::size_t kDynamicInfoBuffer = 550;
constexpr std::size_t kDynamicInfoMaxControlData = 512;
constexpr std::size_t kEntryHeader = 8;

bool permitted_in_dynamic_info(std::uint16_t type) {
    constexpr std::uint16_t kPermitted[] = {7,  9,  11, 13, 15, 17, 19, 21, 23, 29, 41,  72,    74,
                                            77, 79, 81, 82, 83, 89, 91, 93, 95, 97, 102, 0xFFFF};
    return std::find(std::begin(kPermitted), std::end(kPermitted), type) != std::end(kPermitted);
}

bool answered_in_dynamic_info(std::uint16_t type) {
    switch (static_cast<CommandType>(type)) {
        case CommandType::GET_CONFIGURATION:
        case CommandType::GET_STREAM_FORMAT:
        case CommandType::GET_STREAM_INFO:
        case CommandType::GET_NAME:
        case CommandType::GET_SAMPLING_RATE:
        case CommandType::GET_CLOCK_SOURCE:
        case CommandType::GET_COUNTERS:
        case CommandType::GET_MEMORY_OBJECT_LENGTH:
            return true;
        default:
            return false;
    }
}
}  // namespace

std::expected<Reply, Error> AemHandler::Command::dynamic_info() {
    struct Entry {
        std::uint16_t type;
        std::span<const std::uint8_t> data;
    };
    std::vector<Entry> entries;
    std::size_t offset = kPayloadBase;
    while (offset < frame.size()) {
        const auto length = get(frame, Field<std::uint16_t>{offset});
        const auto type = get(frame, Field<std::uint16_t>{offset + 6});
        if (!length || !type || frame.size() - offset - kEntryHeader < *length) {
            return echo(Status::BAD_ARGUMENTS);
        }
        if (!permitted_in_dynamic_info(*type)) {
            return echo(Status::BAD_ARGUMENTS);
        }
        entries.push_back({*type, frame.subspan(offset + kEntryHeader, *length)});
        offset += kEntryHeader + *length;
    }
    std::vector<std::uint8_t> out(frame.begin(), frame.begin() + kPayloadBase);
    out.reserve(kDynamicInfoBuffer);
    for (const auto& entry : entries) {
        std::vector<std::uint8_t> data(entry.data.begin(), entry.data.end());
        Status status = Status::NOT_IMPLEMENTED;
        if (answered_in_dynamic_info(entry.type)) {
            // The same code as the stand-alone command, on a command made of the entry.
            std::vector<std::uint8_t> sub(frame.begin(), frame.begin() + kPayloadBase);
            sub.insert(sub.end(), entry.data.begin(), entry.data.end());
            std::span<std::uint8_t> sub_out(sub);
            (void)set(sub_out, aem::kCommandType, entry.type);
            (void)aem::set_payload_length(sub_out, entry.data.size());
            auto answered = h.handle(port, sub, now);
            if (!answered) {
                // Too short for its command: the entry fails, the others are still answered.
                status = Status::BAD_ARGUMENTS;
            } else {
                const auto& r = answered->frame;
                status = static_cast<Status>(get(r, avtp::kStatus).value_or(10));
                data.assign(r.begin() + kPayloadBase, r.end());
            }
        } else {
            log::warn(kAemTarget, "Unsupported command in GET_DYNAMIC_INFO: {}",
                      aem::command_type_name(entry.type));
        }
        const auto control_data = out.size() - kControlDataOffset + kEntryHeader + data.size();
        if (control_data > kDynamicInfoMaxControlData) {
            break;
        }
        const auto at_offset = out.size();
        out.resize(out.size() + kEntryHeader);
        std::span<std::uint8_t> o(out);
        (void)set(o, Field<std::uint16_t>{at_offset}, static_cast<std::uint16_t>(data.size()));
        (void)set(o, Field<std::uint8_t>{at_offset + 4}, static_cast<std::uint8_t>(status));
        (void)set(o, Field<std::uint16_t>{at_offset + 6}, entry.type);
        out.insert(out.end(), data.begin(), data.end());
    }
    auto r = reply(Status::SUCCESS, out.size() - kPayloadBase);
    if (r) {
        std::copy(out.begin() + kPayloadBase, out.end(), r->frame.begin() + kPayloadBase);
    }
    return r;
}

std::expected<std::vector<std::uint8_t>, Error> AemHandler::get_response(
    std::uint64_t entity_id, std::uint16_t command_type, std::uint16_t descriptor_type,
    std::uint16_t descriptor_index, Instant now) {
    auto frame = make_command(Bytes6{}, Bytes6{}, entity_id, 0, 0, command_type, 8);
    std::span<std::uint8_t> out(frame);
    if (command_type == aem::to_u16(CommandType::GET_AS_PATH)) {
        (void)set(out, kAsPathDescriptorIndex, descriptor_index);
    } else {
        (void)set(out, kDescriptorType, descriptor_type);
        (void)set(out, kDescriptorIndex, descriptor_index);
    }
    auto reply = handle(0, frame, now);
    if (!reply) {
        return std::unexpected(reply.error());
    }
    return std::move(reply->frame);
}

}  // namespace qz::strimo::avdecc::commands
