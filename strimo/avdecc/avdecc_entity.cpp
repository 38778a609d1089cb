#include "strimo/avdecc/avdecc_entity.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "packet/acmp.h"
#include "packet/adp.h"
#include "packet/aecp.h"
#include "support/log.h"

namespace qz::strimo::avdecc {
namespace {

using namespace packet;

constexpr std::string_view kAecpTarget = "strimo::avdecc::aecp";

Error packet_invalid(std::string cause) {
    return Error{ErrorKind::PacketInvalid, std::move(cause)};
}

Error packet_invalid(const PacketError& error) {
    return packet_invalid(error.text());
}

// Reads a field the length tests have already covered; a failure still ends as PacketInvalid.
template <typename F>
auto read(std::span<const std::uint8_t> frame, F field)
    -> std::expected<std::remove_cvref_t<decltype(get(frame, field).value())>, Error> {
    auto value = get(frame, field);
    if (!value) {
        return std::unexpected(packet_invalid(value.error()));
    }
    return *value;
}

// The control data actually present: never more than the frame holds.
std::size_t present_control_data(std::span<const std::uint8_t> frame, std::size_t declared) {
    return frame.size() <= kControlDataOffset
               ? 0
               : std::min(declared, frame.size() - kControlDataOffset);
}

}  // namespace

AvdeccEntity::AvdeccEntity(entity::EntityModel model, DeviceHooks& hooks, net::FrameSender& sender,
                           RandomSource& random)
    : model_(std::move(model)),
      hooks_(hooks),
      sender_(sender),
      notifier_(sender, random),
      handler_(model_, hooks_, notifier_, counters_, runtime_) {
    const auto& entity = model_.entity();
    if (entity.current_configuration < entity.configurations.size()) {
        const auto& configuration = entity.configurations[entity.current_configuration];
        runtime_.sinks.resize(configuration.input_streams.size());
        runtime_.sources.resize(configuration.output_streams.size());
    }
}

bool AvdeccEntity::take_advertise_request(std::size_t port_index) {
    return std::exchange(advertise_requested_.at(port_index), false);
}

std::expected<Received, Error> AvdeccEntity::receive(std::size_t port_index,
                                                     std::span<const std::uint8_t> frame,
                                                     Instant now) {
    if (port_index >= kAvdeccPortCount) {
        return std::unexpected(Error{ErrorKind::ParameterInvalid, "no such port"});
    }
    auto subtype = get(frame, avtp::kSubtypeByte);
    if (!subtype) {
        return Received::Ignored;
    }
    switch (*subtype) {
        case kSubtypeByteAdp:
            return receive_adp(port_index, frame, now);
        case kSubtypeByteAecp:
            return receive_aecp(port_index, frame, now);
        case kSubtypeByteAcmp:
            return receive_acmp(port_index, frame, now);
        default:
            log::debug("strimo::avdecc", "unrecognized AVTP packet with subtype: {}", *subtype);
            return Received::Ignored;
    }
}

std::expected<Received, Error> AvdeccEntity::receive_adp(std::size_t port,
                                                         std::span<const std::uint8_t> frame,
                                                         Instant /*now*/) {
    auto destination = read(frame, eth::kDestination);
    if (!destination) {
        return std::unexpected(destination.error());
    }
    if (*destination != kAvdeccMulticast) {
        return std::unexpected(
            packet_invalid("ADP frame not sent to the AVDECC multicast address"));
    }
    auto length = read(frame, avtp::kControlDataLength);
    if (!length) {
        return std::unexpected(length.error());
    }
    if (*length < adp::kControlDataLength) {
        return Received::Ignored;
    }
    // The handlers read every ADP field, so the whole PDU must be there.
    if (frame.size() < adp::kFrameSize) {
        return std::unexpected(packet_invalid(PacketError{0, adp::kFrameSize, frame.size()}));
    }
    auto type = read(frame, avtp::kMessageType);
    if (!type) {
        return std::unexpected(type.error());
    }
    switch (static_cast<adp::MessageType>(*type)) {
        // The stack hands these to the port's entity database.
        case adp::MessageType::ENTITY_AVAILABLE:
            return Received::AdpEntityAvailable;
        case adp::MessageType::ENTITY_DEPARTING:
            return Received::AdpEntityDeparting;
        case adp::MessageType::ENTITY_DISCOVER: {
            auto id = read(frame, adp::kEntityId);
            if (!id) {
                return std::unexpected(id.error());
            }
            if (*id == 0 || *id == entity_id()) {
                advertise_requested_[port] = true;
                return Received::AdpAdvertiseRequested;
            }
            return Received::AdpDiscoverOther;
        }
    }
    return std::unexpected(packet_invalid(fmt::format("unknown ADP message type {}", *type)));
}

std::expected<Received, Error> AvdeccEntity::receive_aecp(std::size_t port,
                                                          std::span<const std::uint8_t> frame,
                                                          Instant now) {
    if (frame.size() <= 35) {
        return Received::Ignored;
    }
    auto length = read(frame, avtp::kControlDataLength);
    auto type = read(frame, avtp::kMessageType);
    auto target = read(frame, aecp::kTargetEntityId);
    auto controller = read(frame, aecp::kControllerEntityId);
    if (!length || !type || !target || !controller) {
        return std::unexpected(packet_invalid("AECP header"));
    }
    if (*length < aecp::kCommonControlData) {
        return Received::Ignored;
    }
    const auto message_type = static_cast<aecp::MessageType>(*type);
    if ((*type & 1U) != 0) {
        if (message_type == aecp::MessageType::AEM_RESPONSE) {
            auto command = get(frame, aem::kCommandType);
            if (command && *command == aem::to_u16(aem::CommandType::CONTROLLER_AVAILABLE)) {
                controller_available_response(port, frame, now);
                return Received::AecpControllerAvailable;
            }
        }
        return Received::AecpResponseIgnored;
    }
    switch (message_type) {
        case aecp::MessageType::AEM_COMMAND:
        case aecp::MessageType::ADDRESS_ACCESS_COMMAND:
        case aecp::MessageType::AVC_COMMAND:
        case aecp::MessageType::VENDOR_UNIQUE_COMMAND:
        case aecp::MessageType::EXTENDED_COMMAND:
            break;
        default:
            return Received::Ignored;
    }
    controller_seen(port, frame, *controller, now);
    if (*target != entity_id()) {
        return Received::AecpNotForThisEntity;
    }
    switch (message_type) {
        case aecp::MessageType::AEM_COMMAND:
            if (frame.size() < aem::kPayloadOffset || *length < aem::kHeaderControlData) {
                return std::unexpected(packet_invalid("AEM command without its command type"));
            }
            if (auto handled = aem_command(port, frame, now); !handled) {
                return std::unexpected(handled.error());
            }
            return Received::AemCommand;
        case aecp::MessageType::ADDRESS_ACCESS_COMMAND:
            return address_access(port, frame);
        case aecp::MessageType::AVC_COMMAND:
            log::warn(kAecpTarget, "Got AVC command, but not implemented yet!");
            return Received::AvcLogged;
        case aecp::MessageType::VENDOR_UNIQUE_COMMAND:
            return vendor_unique(port, frame);
        default:
            log::warn(kAecpTarget, "Got EXTENDED command, but not implemented yet!");
            return Received::ExtendedLogged;
    }
}

std::expected<Received, Error> AvdeccEntity::vendor_unique(std::size_t port,
                                                           std::span<const std::uint8_t> frame) {
    const auto length = get(frame, avtp::kControlDataLength).value_or(0);
    if (frame.size() < 42 || length < 16) {
        return std::unexpected(packet_invalid("vendor-unique command without its protocol"));
    }
    auto protocol = read(frame, milan::kProtocolIdField);
    if (!protocol) {
        return std::unexpected(protocol.error());
    }
    if (*protocol != milan::kProtocolId) {
        return Received::VendorUniqueOtherProtocol;
    }
    auto command = read(frame, milan::kCommandType);
    if (!command) {
        return std::unexpected(command.error());
    }
    const auto& info = model_.milan_info();
    if (*command != milan::kGetMilanInfo || !info) {
        // The same frame comes back, cut to the control data it really carries.
        auto response =
            aecp::make_response(frame, static_cast<std::uint8_t>(aem::Status::NOT_IMPLEMENTED),
                                present_control_data(frame, length));
        if (!response) {
            return std::unexpected(packet_invalid(response.error()));
        }
        send(port, *response);
        return Received::VendorUniqueNotImplemented;
    }
    if (length < 20) {
        return std::unexpected(packet_invalid("GET_MILAN_INFO command too short"));
    }
    auto response = aecp::make_response(frame, static_cast<std::uint8_t>(aem::Status::SUCCESS),
                                        milan::kMilanInfoControlDataLength);
    if (!response) {
        return std::unexpected(packet_invalid(response.error()));
    }
    std::span<std::uint8_t> out(*response);
    (void)set(out, milan::kProtocolVersionField, milan::kProtocolVersion);
    (void)set(out, milan::kFeaturesFlags, info->features_flags.bits);
    (void)set(out, milan::kCertificationVersion, info->certification_version);
    send(port, *response);
    return Received::MilanInfoAnswered;
}

std::expected<Received, Error> AvdeccEntity::address_access(std::size_t port,
                                                            std::span<const std::uint8_t> frame) {
    auto tlvs = aa::parse_tlvs(frame);
    if (!tlvs) {
        return std::unexpected(packet_invalid(tlvs.error()));
    }
    // The response carries the command's TLVs and nothing after them.
    const std::size_t end =
        tlvs->empty() ? aa::kTlvsOffset : tlvs->back().data_offset() + tlvs->back().length;
    auto response = aecp::make_response(frame, static_cast<std::uint8_t>(aa::Status::SUCCESS),
                                        end - kControlDataOffset);
    if (!response) {
        return std::unexpected(packet_invalid(response.error()));
    }
    auto status = aa::Status::SUCCESS;
    const auto* configuration =
        model_.entity().current_configuration < model_.entity().configurations.size()
            ? &model_.entity().configurations[model_.entity().current_configuration]
            : nullptr;
    for (const auto& tlv : *tlvs) {
        // The object that holds the address within its current length.
        std::optional<std::uint16_t> object;
        std::uint64_t offset = 0;
        if (configuration != nullptr) {
            const auto& objects = configuration->memory_objects;
            for (std::size_t i = 0; i < objects.size() && i <= 0xFFFF; ++i) {
                if (tlv.address >= objects[i].start_address &&
                    tlv.address - objects[i].start_address < objects[i].length) {
                    object = static_cast<std::uint16_t>(i);
                    offset = tlv.address - objects[i].start_address;
                    break;
                }
            }
        }
        if (!object) {
            status = aa::Status::ADDRESS_INVALID;
            break;
        }
        std::expected<void, MemoryRefusal> done;
        if (tlv.mode == static_cast<std::uint8_t>(aa::Mode::READ)) {
            done = hooks_.memory_read(
                *object, offset,
                std::span<std::uint8_t>(*response).subspan(tlv.data_offset(), tlv.length));
        } else if (tlv.mode == static_cast<std::uint8_t>(aa::Mode::WRITE)) {
            done =
                hooks_.memory_write(*object, offset, frame.subspan(tlv.data_offset(), tlv.length));
        } else {
            status = aa::Status::NOT_IMPLEMENTED;
            break;
        }
        if (!done) {
            status = done.error().reason ? aa::Status::UNSUPPORTED : aa::Status::ADDRESS_INVALID;
            break;
        }
    }
    (void)set(std::span<std::uint8_t>(*response), avtp::kStatus,
              static_cast<std::uint16_t>(status));
    send(port, *response);
    return Received::AddressAccessAnswered;
}

std::expected<Received, Error> AvdeccEntity::receive_acmp(std::size_t port,
                                                          std::span<const std::uint8_t> frame,
                                                          Instant now) {
    auto destination = read(frame, eth::kDestination);
    if (!destination) {
        return std::unexpected(destination.error());
    }
    if (*destination != kAvdeccMulticast) {
        return std::unexpected(
            packet_invalid("ACMP frame not sent to the AVDECC multicast address"));
    }
    auto length = read(frame, avtp::kControlDataLength);
    if (!length) {
        return std::unexpected(length.error());
    }
    if (*length < acmp::kControlDataLength) {
        return Received::Ignored;
    }
    if (frame.size() < acmp::kFrameSize) {
        return std::unexpected(packet_invalid(PacketError{0, acmp::kFrameSize, frame.size()}));
    }
    const auto type = get(frame, avtp::kMessageType).value_or(0xF);
    switch (static_cast<acmp::MessageType>(type)) {
        case acmp::MessageType::CONNECT_TX_RESPONSE:
        case acmp::MessageType::DISCONNECT_TX_RESPONSE:
        case acmp::MessageType::CONNECT_RX_COMMAND:
        case acmp::MessageType::DISCONNECT_RX_COMMAND:
        case acmp::MessageType::GET_RX_STATE_COMMAND:
            if (get(frame, acmp::kListenerEntityId).value_or(0) != entity_id()) {
                return Received::AcmpNotForThisEntity;
            }
            acmp_listener(port, frame, now);
            return Received::AcmpListener;
        case acmp::MessageType::CONNECT_TX_COMMAND:
        case acmp::MessageType::DISCONNECT_TX_COMMAND:
        case acmp::MessageType::GET_TX_STATE_COMMAND:
        case acmp::MessageType::GET_TX_CONNECTION_COMMAND:
            if (get(frame, acmp::kTalkerEntityId).value_or(0) != entity_id()) {
                return Received::AcmpNotForThisEntity;
            }
            acmp_talker(port, frame, now);
            return Received::AcmpTalker;
        case acmp::MessageType::GET_TX_STATE_RESPONSE:
        case acmp::MessageType::CONNECT_RX_RESPONSE:
        case acmp::MessageType::DISCONNECT_RX_RESPONSE:
        case acmp::MessageType::GET_RX_STATE_RESPONSE:
        case acmp::MessageType::GET_TX_CONNECTION_RESPONSE:
            return Received::AcmpResponseIgnored;
    }
    return Received::Ignored;
}

void AvdeccEntity::send(std::size_t port, std::span<const std::uint8_t> frame) {
    sender_.send(port, frame);
}

// The ACMP listener and talker take their frames when connection management is built.

void AvdeccEntity::controller_seen(std::size_t port, std::span<const std::uint8_t> frame,
                                   std::uint64_t controller_entity_id, Instant now) {
    if (auto mac = get(frame, eth::kSource)) {
        notifier_.controller_seen(port, *mac, controller_entity_id, now);
    }
}

void AvdeccEntity::controller_available_response(std::size_t port,
                                                 std::span<const std::uint8_t> frame, Instant now) {
    notifier_.controller_available_response(port, frame, now);
}

std::expected<void, Error> AvdeccEntity::aem_command(std::size_t port,
                                                     std::span<const std::uint8_t> frame,
                                                     Instant now) {
    auto reply = handler_.handle(port, frame, now);
    if (!reply) {
        if (reply.error().kind == ErrorKind::PacketInvalid) {
            return std::unexpected(reply.error());
        }
        // Building the response failed: the controller gets ENTITY_MISBEHAVING.
        auto status = commands::status_of(reply.error());
        auto fallback = aem::make_response(frame.first(aem::kPayloadOffset), status, 0);
        if (fallback) {
            send(port, *fallback);
        }
        return {};
    }
    send(port, reply->frame);
    if (reply->notify) {
        notifier_.notify_response(reply->frame, get(frame, aecp::kControllerEntityId).value_or(0));
    }
    if (reply->after) {
        reply->after();
    }
    return {};
}

bool AvdeccEntity::locked_by_controller(Instant now) const {
    return handler_.lock_holder(now).has_value();
}

void AvdeccEntity::mark_changed() {
    model_.mark_changed();
    hooks_.entity_model_changed(model_.entity());
}

void AvdeccEntity::notify_unsolicited(std::uint16_t command_type, std::uint16_t descriptor_type,
                                      std::uint16_t descriptor_index, Instant now) {
    using aem::CommandType;
    // The GET whose response carries the item as a SET response would.
    std::uint16_t get_type = command_type;
    switch (static_cast<CommandType>(command_type)) {
        case CommandType::SET_STREAM_FORMAT:
        case CommandType::SET_SAMPLING_RATE:
        case CommandType::SET_CLOCK_SOURCE:
        case CommandType::SET_CONTROL:
            get_type = static_cast<std::uint16_t>(command_type + 1);
            break;
        default:
            break;
    }
    auto response =
        handler_.get_response(entity_id(), get_type, descriptor_type, descriptor_index, now);
    const auto status = response ? get(std::span<const std::uint8_t>(*response), avtp::kStatus)
                                 : std::expected<std::uint16_t, PacketError>{0};
    if (!response || !status || *status != 0) {
        const auto what = response ? std::string("no such item") : response.error().text();
        if (command_type == aem::to_u16(CommandType::GET_COUNTERS)) {
            log::error("strimo::avdecc::aecp::aem::notifications",
                       "Sending get_counters unsolicited notification failed: {}", what);
        } else {
            log::error("strimo::avdecc::aecp::aem::notifications",
                       "Unsolicited {} of {} {} not sent: {}", aem::command_type_name(command_type),
                       aem::descriptor_type_name(descriptor_type), descriptor_index, what);
        }
        return;
    }
    (void)set(std::span<std::uint8_t>(*response), aem::kCommandType, command_type);
    if (command_type == aem::to_u16(CommandType::GET_COUNTERS)) {
        notifier_.notify_counters(descriptor_type, descriptor_index, std::move(*response), now);
    } else {
        notifier_.notify(*response);
    }
}

void AvdeccEntity::grandmaster_changed(std::size_t port_index, Instant now) {
    using aem::CommandType;
    const auto avb_interface = aem::to_u16(aem::DescriptorType::AVB_INTERFACE);
    const auto index = static_cast<std::uint16_t>(port_index);
    notify_unsolicited(aem::to_u16(CommandType::GET_AVB_INFO), avb_interface, index, now);
    notify_unsolicited(aem::to_u16(CommandType::GET_AS_PATH), avb_interface, index, now);
    // Bound listeners whose talker follows the new grandmaster are re-probed by connection
    // management once it exists.
    counters_.increment(avb_interface, index, commands::counter::GPTP_GM_CHANGED);
    notify_unsolicited(aem::to_u16(CommandType::GET_COUNTERS), avb_interface, index, now);
}

void AvdeccEntity::link_changed(std::size_t port_index, bool up, Instant now) {
    const auto avb_interface = aem::to_u16(aem::DescriptorType::AVB_INTERFACE);
    const auto index = static_cast<std::uint16_t>(port_index);
    counters_.increment(avb_interface, index,
                        up ? commands::counter::LINK_UP : commands::counter::LINK_DOWN);
    notify_unsolicited(aem::to_u16(aem::CommandType::GET_COUNTERS), avb_interface, index, now);
}

void AvdeccEntity::tick(Instant now) {
    if (auto unlocked = handler_.expire_lock(entity_id(), now)) {
        notifier_.notify(*unlocked);
    }
    notifier_.tick(entity_id(), now);
}

void AvdeccEntity::notify_changed_streams(Instant now) {
    const auto get_stream_info = aem::to_u16(aem::CommandType::GET_STREAM_INFO);
    for (std::size_t i = 0; i < runtime_.sinks.size(); ++i) {
        if (std::exchange(runtime_.sinks[i].changed, false)) {
            notify_unsolicited(get_stream_info, aem::to_u16(aem::DescriptorType::STREAM_INPUT),
                               static_cast<std::uint16_t>(i), now);
        }
    }
    for (std::size_t i = 0; i < runtime_.sources.size(); ++i) {
        if (std::exchange(runtime_.sources[i].changed, false)) {
            notify_unsolicited(get_stream_info, aem::to_u16(aem::DescriptorType::STREAM_OUTPUT),
                               static_cast<std::uint16_t>(i), now);
        }
    }
}
void AvdeccEntity::acmp_listener(std::size_t, std::span<const std::uint8_t>, Instant) {}
void AvdeccEntity::acmp_talker(std::size_t, std::span<const std::uint8_t>, Instant) {}

}  // namespace qz::strimo::avdecc
