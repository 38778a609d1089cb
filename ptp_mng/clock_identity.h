// gPTP clock identities (EUI-64) as the daemon handles them.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>

#include "libnet/mac_address.h"

namespace qz::ptp {

using ClockIdentity = std::uint64_t;

// The EUI-64 of a port: the MAC's first three bytes, FF FE, then its last three bytes.
constexpr ClockIdentity clock_identity_from_mac(const net::MacAddress& mac) {
    return ClockIdentity{mac[0]} << 56 | ClockIdentity{mac[1]} << 48 | ClockIdentity{mac[2]} << 40 |
           ClockIdentity{0xFF} << 32 | ClockIdentity{0xFE} << 24 | ClockIdentity{mac[3]} << 16 |
           ClockIdentity{mac[4]} << 8 | ClockIdentity{mac[5]};
}

inline std::string to_string(ClockIdentity id) {
    return fmt::format("0x{:016x}", id);
}

}  // namespace qz::ptp
