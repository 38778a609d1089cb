// Which protocol of the stack a received frame belongs to.
#pragma once

#include <cstdint>
#include <span>

#include "libnet/mac_address.h"

namespace qz::strimo {

enum class FrameRoute {
    Ignored,  // 13 bytes or less, an unknown EtherType, or an MRP frame this port sent itself
    Msrp,
    Mvrp,
    Adp,
    Aecp,
    Acmp,
    Maap,
    AvtpOther,  // AVTP with another subtype, or too short to carry one
    Ptp,
};

constexpr std::uint8_t kSubtypeAdp = 0xFA;
constexpr std::uint8_t kSubtypeAecp = 0xFB;
constexpr std::uint8_t kSubtypeAcmp = 0xFC;
constexpr std::uint8_t kSubtypeMaap = 0xFE;
constexpr std::size_t kAvtpSubtypeOffset = 14;

FrameRoute route_frame(std::span<const std::uint8_t> frame, const net::MacAddress& port_mac);

}  // namespace qz::strimo
