#include "libnet/netlink_route.h"

#include <gtest/gtest.h>

namespace qz::net {
namespace {

// The loopback interface exists in every network namespace and is up ("unknown" operstate 0
// on most kernels, since it has no carrier notion), and its counters only grow.
TEST(NetlinkRoute, ReadsLoopbackAndRefusesUnknownNames) {
    auto client = NetlinkRouteClient::open();
    ASSERT_TRUE(client) << client.error().text();
    const auto first = (*client)->get_link("lo");
    ASSERT_TRUE(first) << first.error().text();
    const auto second = (*client)->get_link("lo");
    ASSERT_TRUE(second);
    EXPECT_GE(second->stats[kStatRxPackets], first->stats[kStatRxPackets]);

    const auto missing = (*client)->get_link("qz-no-such0");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text(), "Netlink error: No such device");
}

}  // namespace
}  // namespace qz::net
