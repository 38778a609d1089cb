#include "strimo/avdecc/adp/entity_database.h"

#include <algorithm>
#include <utility>

#include "packet/adp.h"

namespace qz::strimo::avdecc::adp {

namespace wire = packet::adp;
namespace {

constexpr Duration kExpiryPeriod = std::chrono::seconds(2);

// Reads a field of a frame that classification already found long enough for an ADPDU.
template <typename Field>
auto field(std::span<const std::uint8_t> frame, Field f) {
    return packet::get(frame, f).value_or(0);
}

RemoteEntity parse(std::span<const std::uint8_t> frame, Instant now) {
    RemoteEntity e;
    e.entity_id = field(frame, wire::kEntityId);
    e.entity_model_id = field(frame, wire::kEntityModelId);
    e.entity_capabilities =
        field(frame, wire::kEntityCapabilities) & wire::kEntityCapabilitiesReceiveMask;
    e.talker_stream_sources = field(frame, wire::kTalkerStreamSources);
    e.talker_capabilities = field(frame, wire::kTalkerCapabilities);
    e.listener_stream_sinks = field(frame, wire::kListenerStreamSinks);
    e.listener_capabilities = field(frame, wire::kListenerCapabilities);
    e.controller_capabilities = field(frame, wire::kControllerCapabilities);
    e.available_index = field(frame, wire::kAvailableIndex);
    e.gptp_grandmaster_id = field(frame, wire::kGptpGrandmasterId);
    e.gptp_domain_number = field(frame, wire::kGptpDomainNumber);
    e.identify_control_index = field(frame, wire::kIdentifyControlIndex);
    e.interface_index = field(frame, wire::kInterfaceIndex);
    e.association_id = field(frame, wire::kAssociationId);
    const auto source = packet::get(frame, packet::eth::kSource).value_or(packet::Bytes6{});
    std::copy(source.begin(), source.end(), e.mac.begin());
    const auto valid_time = field(frame, packet::avtp::kValidTime);
    e.deadline = now + std::chrono::seconds(2 * valid_time);
    return e;
}

}  // namespace

void EntityDatabase::start(Instant now) {
    events_.clear();
    expiry_ = now + kExpiryPeriod;
}

void EntityDatabase::available_received(std::span<const std::uint8_t> frame, Instant now) {
    RemoteEntity received = parse(frame, now);
    auto found = std::find_if(entities_.begin(), entities_.end(), [&](const RemoteEntity& e) {
        return e.entity_id == received.entity_id;
    });
    if (found == entities_.end()) {
        entities_.push_back(received);
        events_.push_back({DatabaseEventKind::Discovered, received.entity_id, received});
        return;
    }
    if (found->available_index < received.available_index) {
        const bool gptp_changed = found->gptp_domain_number != received.gptp_domain_number ||
                                  found->gptp_grandmaster_id != received.gptp_grandmaster_id;
        *found = received;
        if (gptp_changed) {
            events_.push_back({DatabaseEventKind::Changed, received.entity_id, received});
        }
        return;
    }
    // An index that did not grow means the remote entity started again.
    *found = received;
    events_.push_back({DatabaseEventKind::Departed, received.entity_id, std::nullopt});
    events_.push_back({DatabaseEventKind::Discovered, received.entity_id, received});
}

void EntityDatabase::departing_received(std::uint64_t entity_id) {
    std::erase_if(entities_, [&](const RemoteEntity& e) { return e.entity_id == entity_id; });
    events_.push_back({DatabaseEventKind::Departed, entity_id, std::nullopt});
}

void EntityDatabase::request_discover(std::optional<std::uint64_t> entity_id) {
    discover_request_ = entity_id;
}

std::optional<std::vector<std::uint8_t>> EntityDatabase::step(Instant now) {
    if (discover_request_) {
        auto frame = wire::make_frame(wire::MessageType::ENTITY_DISCOVER);
        (void)packet::set(std::span<std::uint8_t>(frame), wire::kEntityId,
                          discover_request_->value_or(0));
        discover_request_.reset();
        return frame;
    }
    if (expiry_ && now >= *expiry_) {
        std::erase_if(entities_, [&](const RemoteEntity& e) {
            if (e.deadline > now) {
                return false;
            }
            events_.push_back({DatabaseEventKind::Departed, e.entity_id, std::nullopt});
            return true;
        });
        expiry_ = now + kExpiryPeriod;
    }
    return std::nullopt;
}

std::vector<DatabaseEvent> EntityDatabase::take_events() {
    return std::exchange(events_, {});
}

}  // namespace qz::strimo::avdecc::adp
