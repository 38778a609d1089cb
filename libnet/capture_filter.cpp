#include "libnet/capture_filter.h"

#include "libnet/ethernet.h"

namespace qz::net {

CaptureVerdict classify_captured(std::span<const std::uint8_t> frame, const MacAddress& own_mac,
                                 bool drop_own_frames) {
    const auto type = ether_type(frame);
    if (!type) {
        return CaptureVerdict::TooShort;
    }
    if (*type == kEtherTypeVlan) {
        return CaptureVerdict::Tagged;
    }
    if (drop_own_frames && source_is(frame, own_mac)) {
        return CaptureVerdict::OwnFrame;
    }
    if (*type == kEtherTypeIpv4 || *type == kEtherTypeIpv6) {
        return CaptureVerdict::IpTraffic;
    }
    return CaptureVerdict::Deliver;
}

}  // namespace qz::net
