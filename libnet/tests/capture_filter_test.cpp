#include "libnet/capture_filter.h"

#include <gtest/gtest.h>

#include "libnet/ethernet.h"
#include "libnet/net_error.h"

namespace qz::net {
namespace {

constexpr MacAddress kOwn{0x02, 0, 0, 0, 0, 0x10};
constexpr MacAddress kPeer{0x02, 0, 0, 0, 0, 0x20};

Frame frame(std::size_t length, std::uint16_t type, const MacAddress& source) {
    Frame f(length, 0);
    for (std::size_t i = 0; i < 6 && 6 + i < length; ++i) {
        f[6 + i] = source[i];
    }
    if (length >= 14) {
        f[12] = static_cast<std::uint8_t>(type >> 8);
        f[13] = static_cast<std::uint8_t>(type);
    }
    return f;
}

struct Case {
    const char* name;
    Frame bytes;
    bool drop_own;
    CaptureVerdict verdict;
};

TEST(CaptureFilter, Table) {
    const Case cases[] = {
        {"empty", Frame{}, true, CaptureVerdict::TooShort},
        {"13 bytes", Frame(13, 0x22), true, CaptureVerdict::TooShort},
        {"14-byte AVTP", frame(14, kEtherTypeAvtp, kPeer), true, CaptureVerdict::Deliver},
        {"tagged", frame(60, kEtherTypeVlan, kPeer), true, CaptureVerdict::Tagged},
        // A tagged frame is not looked into, even when this port sent it.
        {"own tagged", frame(60, kEtherTypeVlan, kOwn), true, CaptureVerdict::Tagged},
        {"own AVTP", frame(60, kEtherTypeAvtp, kOwn), true, CaptureVerdict::OwnFrame},
        {"own AVTP kept", frame(60, kEtherTypeAvtp, kOwn), false, CaptureVerdict::Deliver},
        {"IPv4", frame(60, kEtherTypeIpv4, kPeer), true, CaptureVerdict::IpTraffic},
        {"IPv6", frame(60, kEtherTypeIpv6, kPeer), true, CaptureVerdict::IpTraffic},
        {"ARP", frame(60, kEtherTypeArp, kPeer), true, CaptureVerdict::Deliver},
        {"PTP", frame(60, kEtherTypePtp, kPeer), true, CaptureVerdict::Deliver},
        {"unknown", frame(60, 0x1234, kPeer), true, CaptureVerdict::Deliver},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_captured(c.bytes, kOwn, c.drop_own), c.verdict) << c.name;
    }
}

TEST(NetIoError, DisplayTexts) {
    EXPECT_EQ(NetIoError::wrapped("eth1: No such device").text(),
              "NetIoError: eth1: No such device");
    EXPECT_EQ(NetIoError::timeout().text(), "NetIoError: Timeout expired");
    EXPECT_EQ(NetIoError::generic().text(), "NetIoError: Generic Error. sorry!");
}

}  // namespace
}  // namespace qz::net
