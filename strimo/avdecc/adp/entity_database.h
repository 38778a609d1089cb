// The other AVDECC entities seen on one port, learnt from their ADP messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "libnet/mac_address.h"
#include "support/clock.h"

namespace qz::strimo::avdecc::adp {

struct RemoteEntity {
    std::uint64_t entity_id{0};
    std::uint64_t entity_model_id{0};
    std::uint32_t entity_capabilities{0};  // the protocol's 26 bits only
    std::uint16_t talker_stream_sources{0};
    std::uint16_t talker_capabilities{0};
    std::uint16_t listener_stream_sinks{0};
    std::uint16_t listener_capabilities{0};
    std::uint32_t controller_capabilities{0};
    std::uint32_t available_index{0};
    std::uint64_t gptp_grandmaster_id{0};
    std::uint8_t gptp_domain_number{0};
    std::uint16_t identify_control_index{0};
    std::uint16_t interface_index{0};
    std::uint64_t association_id{0};
    net::MacAddress mac{};
    Instant deadline{};
};

enum class DatabaseEventKind : std::uint8_t { Discovered = 0, Changed = 1, Departed = 2 };

struct DatabaseEvent {
    DatabaseEventKind kind;
    std::uint64_t entity_id;
    std::optional<RemoteEntity> record;  // for Discovered and Changed
};

class EntityDatabase {
public:
    // Advertising starts on the port: events of the time before are dropped and expiry begins.
    void start(Instant now);

    // A received ENTITY_AVAILABLE (the frame already classified as a valid ADP frame).
    void available_received(std::span<const std::uint8_t> frame, Instant now);
    void departing_received(std::uint64_t entity_id);

    // Asks for an ENTITY_DISCOVER (for all entities, or for one) at the next step.
    void request_discover(std::optional<std::uint64_t> entity_id);

    // One step: returns the ENTITY_DISCOVER to send, if one was requested; otherwise expires
    // entities that stopped advertising. Events pile up for take_events().
    std::optional<std::vector<std::uint8_t>> step(Instant now);

    std::vector<DatabaseEvent> take_events();

    const std::vector<RemoteEntity>& entities() const { return entities_; }

private:
    std::vector<RemoteEntity> entities_;
    std::vector<DatabaseEvent> events_;
    std::optional<std::optional<std::uint64_t>> discover_request_;
    std::optional<Instant> expiry_;
};

}  // namespace qz::strimo::avdecc::adp
