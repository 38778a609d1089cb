// The parts of a gPTP Announce message the daemon uses: grandmaster and path trace.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "ptp_mng/clock_identity.h"
#include "ptp_mng/gptp_error.h"

namespace qz::ptp {

struct Announce {
    ClockIdentity grandmaster{0};
    std::vector<ClockIdentity> path_sequence;
};

// Parses a whole Ethernet frame of EtherType 0x88F7. nullopt: a valid gPTP message that is not
// an Announce. A grandmaster identity of zero is an invalid Announce.
std::expected<std::optional<Announce>, GptpError> parse_announce(
    std::span<const std::uint8_t> frame);

}  // namespace qz::ptp
