// The ADP advertiser of one port: ENTITY_AVAILABLE every 5 to 9 seconds while the port has a
// grandmaster, an early advertisement on ENTITY_DISCOVER, ENTITY_DEPARTING at the end.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/entity/model.h"
#include "support/clock.h"
#include "support/random.h"

namespace qz::strimo::avdecc::adp {

enum class AdvertiserState : std::uint8_t {
    Idle = 0,
    Waiting = 1,
    DelayedAdvertise = 2,
    Departing = 3,
    DepartAndRestart = 4,
};

class Advertiser {
public:
    Advertiser(std::uint16_t interface_index, RandomSource& random)
        : interface_index_(interface_index), random_(random) {}

    // The port's gPTP has a grandmaster: advertising starts within 0 to 4 seconds.
    void start(std::uint64_t grandmaster_id, Instant now);

    // A new grandmaster is advertised soon when the advertiser is between advertisements.
    void grandmaster_changed(std::uint64_t grandmaster_id, Instant now);

    // ENTITY_DISCOVER for this entity (or for all): advertise within 0 to 4 seconds, unless an
    // advertisement is already scheduled.
    void discover_received(Instant now);

    // Shutdown: an advertising port sends ENTITY_DEPARTING at its next step.
    void depart();

    // One step; returns the frame to send on the port, if any. A frame due on a port without a
    // valid grandmaster is NoValidGrandmaster, and nothing changes.
    std::expected<std::optional<std::vector<std::uint8_t>>, Error> step(
        Instant now, const entity::Entity& entity);

    AdvertiserState state() const { return state_; }
    std::uint32_t available_index() const { return available_index_; }
    std::uint64_t grandmaster_id() const { return grandmaster_id_; }
    bool grandmaster_valid() const { return grandmaster_valid_; }
    std::optional<Instant> deadline() const { return deadline_; }

private:
    void advertise_soon(Instant now, bool starting);
    Duration random_delay();
    std::vector<std::uint8_t> build(bool available, const entity::Entity& entity) const;

    std::uint16_t interface_index_;
    RandomSource& random_;
    AdvertiserState state_{AdvertiserState::Idle};
    std::optional<Instant> deadline_;
    std::uint32_t available_index_{0};
    std::uint64_t grandmaster_id_{0};
    bool grandmaster_valid_{false};
};

}  // namespace qz::strimo::avdecc::adp
