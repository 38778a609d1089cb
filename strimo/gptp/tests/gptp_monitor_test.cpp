#include "strimo/gptp/gptp_monitor.h"

#include <gtest/gtest.h>

#include "ptp_mng/tests/ptp_frames.h"

namespace qz::strimo::gptp {
namespace {

using namespace std::chrono_literals;
constexpr ClockIdentity kOwn0 = 0x020000FFFE000010ULL;
constexpr ClockIdentity kOwn1 = 0x020000FFFE000011ULL;

ptp::PortDataSet data_set(ptp::PortState state, std::int64_t delay_ns = 0) {
    ptp::PortDataSet set;
    set.port_state = static_cast<std::uint8_t>(state);
    set.peer_mean_path_delay = delay_ns * 65536;
    return set;
}

TEST(GptpMonitor, AnnouncePathTraceBecomesTheAsPathWithTheOwnIdentityLast) {
    GptpMonitor monitor({kOwn0, kOwn1});
    auto change = monitor.on_announce(1, ptp::testing::announce_frame(0xA, {0xA, 0xB, 0xC}));
    ASSERT_TRUE(change);
    EXPECT_TRUE(change->grandmaster_changed);
    EXPECT_EQ(monitor.port(1).grandmaster_id, 0xAU);
    EXPECT_EQ(monitor.port(1).as_path, (std::vector<ClockIdentity>{0xA, 0xB, 0xC, kOwn1}));
    // The same grandmaster again is no change; port 0 is untouched.
    change = monitor.on_announce(1, ptp::testing::announce_frame(0xA, {0xA, 0xB, 0xC}));
    ASSERT_TRUE(change);
    EXPECT_FALSE(change->grandmaster_changed);
    EXPECT_FALSE(monitor.port(0).grandmaster_id);
}

TEST(GptpMonitor, BadAnnouncesChangeNothingAndOtherMessagesAreIgnored) {
    GptpMonitor monitor({kOwn0, kOwn1});
    EXPECT_FALSE(monitor.on_announce(0, ptp::testing::announce_frame(0xA, {0xA}, true)));
    EXPECT_FALSE(monitor.on_announce(0, ptp::testing::announce_frame(0, {0xA})));
    auto sync = monitor.on_announce(0, ptp::testing::announce_frame(0xA, {0xA}, false, 0x0));
    ASSERT_TRUE(sync);
    EXPECT_FALSE(sync->grandmaster_changed);
    EXPECT_FALSE(monitor.port(0).grandmaster_id);
    EXPECT_TRUE(monitor.port(0).as_path.empty());
}

TEST(GptpMonitor, MasterPortIsItsOwnGrandmasterAndDelayChangesAreReported) {
    GptpMonitor monitor({kOwn0, kOwn1});
    auto change = monitor.on_port_data_set(0, data_set(ptp::PortState::Master, 500));
    EXPECT_TRUE(change.grandmaster_changed);
    EXPECT_FALSE(change.propagation_delay_changed);  // no grandmaster known before this answer
    EXPECT_EQ(monitor.port(0).grandmaster_id, kOwn0);
    EXPECT_EQ(monitor.port(0).as_path, std::vector<ClockIdentity>{kOwn0});
    EXPECT_EQ(monitor.port(0).propagation_delay, 500U);
    change = monitor.on_port_data_set(0, data_set(ptp::PortState::Master, 600));
    EXPECT_FALSE(change.grandmaster_changed);
    EXPECT_TRUE(change.propagation_delay_changed);
    // A slave port takes its grandmaster from Announce messages only.
    change = monitor.on_port_data_set(1, data_set(ptp::PortState::Slave, 0));
    EXPECT_FALSE(change.grandmaster_changed);
    EXPECT_FALSE(monitor.port(1).grandmaster_id);
}

TEST(GptpMonitor, AdvertisingStartsTwoSecondsAfterLinkUpOnceAGrandmasterIsKnown) {
    GptpMonitor monitor({kOwn0, kOwn1});
    const Instant up{};
    monitor.link_up(0, up);
    monitor.link_up(1, up);
    monitor.on_port_data_set(0, data_set(ptp::PortState::Master));
    EXPECT_TRUE(monitor.bmca_step(up + 1990ms).empty());
    EXPECT_EQ(monitor.bmca_step(up + 2s), std::vector<std::size_t>{0});
    // Port 1 has no grandmaster yet: it retries every second until an Announce gives one.
    EXPECT_TRUE(monitor.bmca_step(up + 2500ms).empty());
    EXPECT_TRUE(monitor.bmca_step(up + 3s).empty());
    ASSERT_TRUE(monitor.on_announce(1, ptp::testing::announce_frame(0xA, {0xA})));
    EXPECT_TRUE(monitor.bmca_step(up + 3500ms).empty());
    EXPECT_EQ(monitor.bmca_step(up + 4s), std::vector<std::size_t>{1});
    EXPECT_TRUE(monitor.bmca_step(up + 10s).empty());
    // A link that goes down before its deadline never starts advertising.
    monitor.link_up(0, up + 20s);
    monitor.link_down(0);
    EXPECT_TRUE(monitor.bmca_step(up + 30s).empty());
}

}  // namespace
}  // namespace qz::strimo::gptp
