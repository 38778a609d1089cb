#include <gtest/gtest.h>

#include <vector>

#include "libnet/ethernet.h"
#include "strimo/frame_route.h"
#include "strimo/stack.h"

namespace qz::strimo {
namespace {

constexpr net::MacAddress kPort0{0x02, 0, 0, 0, 0, 0x10};
constexpr net::MacAddress kPort1{0x02, 0, 0, 0, 0, 0x11};
constexpr net::MacAddress kPeer{0x02, 0, 0, 0, 0, 0x20};

net::Frame frame(std::size_t length, std::uint16_t type, const net::MacAddress& source,
                 std::uint8_t subtype = 0) {
    net::Frame f(length, 0);
    std::copy(source.begin(), source.end(), f.begin() + 6);
    f[12] = static_cast<std::uint8_t>(type >> 8);
    f[13] = static_cast<std::uint8_t>(type);
    if (length > 14) {
        f[14] = subtype;
    }
    return f;
}

TEST(FrameRoute, Table) {
    struct Case {
        const char* name;
        net::Frame bytes;
        FrameRoute route;
    };
    const Case cases[] = {
        {"13 bytes", net::Frame(13, 0x22), FrameRoute::Ignored},
        {"first frame of a worker", net::Frame{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
         FrameRoute::Ignored},
        {"MSRP", frame(60, 0x22EA, kPeer), FrameRoute::Msrp},
        {"own MSRP", frame(60, 0x22EA, kPort0), FrameRoute::Ignored},
        {"other port's MSRP", frame(60, 0x22EA, kPort1), FrameRoute::Msrp},
        {"MVRP", frame(60, 0x88F5, kPeer), FrameRoute::Mvrp},
        {"own MVRP", frame(60, 0x88F5, kPort0), FrameRoute::Ignored},
        {"ADP", frame(82, 0x22F0, kPeer, 0xFA), FrameRoute::Adp},
        {"AECP", frame(64, 0x22F0, kPeer, 0xFB), FrameRoute::Aecp},
        {"ACMP", frame(70, 0x22F0, kPeer, 0xFC), FrameRoute::Acmp},
        {"MAAP", frame(42, 0x22F0, kPeer, 0xFE), FrameRoute::Maap},
        {"AAF stream data", frame(64, 0x22F0, kPeer, 0x02), FrameRoute::AvtpOther},
        {"AVTP without subtype", frame(14, 0x22F0, kPeer), FrameRoute::AvtpOther},
        {"PTP", frame(64, 0x88F7, kPeer), FrameRoute::Ptp},
        {"ARP", frame(42, 0x0806, kPeer), FrameRoute::Ignored},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(route_frame(c.bytes, kPort0), c.route) << c.name;
    }
}

class NoSender final : public net::FrameSender {
public:
    void send(std::size_t, std::span<const std::uint8_t>) override { ++sent; }
    int sent{0};
};

TEST(FrameEntry, CountsEveryFrameOfItsPortByRoute) {
    NoSender sender;
    SeededRandom random(1);
    Stack stack(sender, random, {kPort0, kPort1}, Instant{});
    const Instant now{};
    stack.frame_entry(1, frame(60, 0x22EA, kPort1), now);  // own MSRP on port 1
    stack.frame_entry(1, frame(60, 0x22EA, kPort0), now);  // port 0's MSRP seen on port 1
    stack.frame_entry(1, frame(64, 0x88F7, kPeer), now);
    stack.frame_entry(1, net::Frame(5, 0), now);
    EXPECT_EQ(stack.counters(0).received, 0U);
    const auto& c = stack.counters(1);
    EXPECT_EQ(c.received, 4U);
    EXPECT_EQ(c.msrp, 1U);
    EXPECT_EQ(c.ptp, 1U);
    EXPECT_EQ(c.ignored, 2U);
    EXPECT_EQ(sender.sent, 0);
}

}  // namespace
}  // namespace qz::strimo
