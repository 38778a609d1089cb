// What the receive worker does with a captured frame before the main loop sees it.
#pragma once

#include <cstdint>
#include <span>

#include "libnet/mac_address.h"

namespace qz::net {

enum class CaptureVerdict {
    Deliver,
    TooShort,   // shorter than an Ethernet header
    Tagged,     // 802.1Q tagged: not supported, warned about
    OwnFrame,   // sent by this very port and seen again through promiscuous capture
    IpTraffic,  // IPv4 or IPv6, never of interest to the AVB stack
};

CaptureVerdict classify_captured(std::span<const std::uint8_t> frame, const MacAddress& own_mac,
                                 bool drop_own_frames);

}  // namespace qz::net
