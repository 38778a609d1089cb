// What the stack knows of gPTP on each port: the grandmaster, the link's peer delay, the path
// the time comes along, and when the port has settled so that advertising may start.
//
// Fed from two sides: the Announce messages the port receives, and ptp4l's port data set once a
// second. Pure logic: the caller passes frames, answers and the time in, and acts on what comes
// back.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "ptp_mng/clock_identity.h"
#include "ptp_mng/gptp_error.h"
#include "ptp_mng/management_message.h"
#include "support/clock.h"

namespace qz::strimo::gptp {

using ptp::ClockIdentity;

struct PortGptpState {
    std::optional<ClockIdentity> grandmaster_id;
    std::uint32_t propagation_delay{0};        // nanoseconds
    std::vector<ClockIdentity> path_sequence;  // as last received in an Announce
    std::vector<ClockIdentity> as_path;        // what GET_AS_PATH answers
    std::optional<Instant> bmca_deadline;
};

// What changed on a port after an input, for the stack to act on.
struct GptpChange {
    bool grandmaster_changed{false};
    bool propagation_delay_changed{false};
};

class GptpMonitor {
public:
    // `own_identities`: each port's clock identity (EUI-64 of its MAC address).
    explicit GptpMonitor(std::array<ClockIdentity, 2> own_identities) : own_(own_identities) {}

    // A gPTP frame received on the port; errors are the caller's to log.
    std::expected<GptpChange, ptp::GptpError> on_announce(std::size_t port,
                                                          std::span<const std::uint8_t> frame);

    // The port data set ptp4l reported for the port.
    GptpChange on_port_data_set(std::size_t port, const ptp::PortDataSet& set);

    // Link changes arm and clear the settling deadline.
    void link_up(std::size_t port, Instant now);
    void link_down(std::size_t port);

    // The 10 ms check: the ports whose settling time is over and that have a grandmaster, to
    // start advertising on. Ports without a grandmaster try again a second later.
    std::vector<std::size_t> bmca_step(Instant now);

    const PortGptpState& port(std::size_t index) const { return ports_.at(index); }
    ClockIdentity own_identity(std::size_t index) const { return own_.at(index); }

private:
    std::array<ClockIdentity, 2> own_;
    std::array<PortGptpState, 2> ports_{};
};

}  // namespace qz::strimo::gptp
