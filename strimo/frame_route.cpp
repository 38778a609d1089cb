#include "strimo/frame_route.h"

#include "libnet/ethernet.h"

namespace qz::strimo {
namespace {

FrameRoute route_avtp(std::span<const std::uint8_t> frame) {
    if (frame.size() <= kAvtpSubtypeOffset) {
        return FrameRoute::AvtpOther;
    }
    switch (frame[kAvtpSubtypeOffset]) {
        case kSubtypeAdp:
            return FrameRoute::Adp;
        case kSubtypeAecp:
            return FrameRoute::Aecp;
        case kSubtypeAcmp:
            return FrameRoute::Acmp;
        case kSubtypeMaap:
            return FrameRoute::Maap;
        default:
            return FrameRoute::AvtpOther;
    }
}

}  // namespace

FrameRoute route_frame(std::span<const std::uint8_t> frame, const net::MacAddress& port_mac) {
    const auto type = net::ether_type(frame);
    if (!type) {
        return FrameRoute::Ignored;
    }
    switch (*type) {
        case net::kEtherTypeMsrp:
            return net::source_is(frame, port_mac) ? FrameRoute::Ignored : FrameRoute::Msrp;
        case net::kEtherTypeMvrp:
            return net::source_is(frame, port_mac) ? FrameRoute::Ignored : FrameRoute::Mvrp;
        case net::kEtherTypeAvtp:
            return route_avtp(frame);
        case net::kEtherTypePtp:
            return FrameRoute::Ptp;
        default:
            return FrameRoute::Ignored;
    }
}

}  // namespace qz::strimo
