// The Milan daemon's spine on a virtual network: start, frame filtering, stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <thread>

#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/raw_socket.h"
#include "tests/system/harness/sim_card.h"

namespace qz::systest {
namespace {

using namespace std::chrono_literals;

constexpr net::MacAddress kAvdeccMulticast{0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00};
constexpr net::MacAddress kGptpMulticast{0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};

class Spine : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
    }

    std::unique_ptr<Program> start_daemon(const CardNetwork& network, bool with_eth1 = true) {
        ptp4l = start_card_ptp4ls(sandbox, network.card(),
                                  with_eth1 ? std::vector<std::string>{"eth0", "eth1"}
                                            : std::vector<std::string>{"eth0"});
        return sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(),
                             "qzel_avbd.out");
    }

    // A failed test shows what the daemon wrote and logged, for the one reading CI's output.
    void TearDown() override {
        if (HasFailure()) {
            for (const auto& record : sandbox.syslog().records()) {
                std::printf("syslog: %s\n", record.raw.c_str());
            }
        }
    }

    void expect_started(Program& daemon) {
        ASSERT_TRUE(sandbox.syslog().wait_for("qzel_avbd started", 10s))
            << "daemon output: " << daemon.output();
    }

    CardSandbox sandbox;
    std::vector<std::unique_ptr<Program>> ptp4l;
};

class SpineStop : public Spine, public ::testing::WithParamInterface<int> {};

TEST_P(SpineStop, IdleDaemonEndsWithStatusZeroRightAfterTheSignal) {
    CardNetwork network;
    auto daemon = start_daemon(network);
    expect_started(*daemon);
    std::this_thread::sleep_for(300ms);  // idle in the main loop's wait

    const auto sent = std::chrono::steady_clock::now();
    daemon->signal(GetParam());
    daemon->signal(GetParam());  // a second request before the loop test changes nothing
    const auto status = daemon->wait_exit(5s);
    const auto took = std::chrono::steady_clock::now() - sent;

    EXPECT_EQ(exit_code(status), 0) << daemon->output();
    // Within a 5 ms tick plus scheduling slack; far from the 1 s housekeeping period.
    EXPECT_LT(took, 250ms);
    EXPECT_TRUE(sandbox.syslog().wait_for("Stopping qzel_avbd", 1s));
}

INSTANTIATE_TEST_SUITE_P(Signals, SpineStop, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& signal_info) {
                             return signal_info.param == SIGTERM ? std::string("Sigterm")
                                                                 : std::string("Sigint");
                         });

TEST_F(Spine, MissingEth1EndsStartUpWithStatusOneBeforeTheStackRuns) {
    CardNetwork network(/*with_eth1=*/false);
    auto daemon = start_daemon(network, /*with_eth1=*/false);
    const auto status = daemon->wait_exit(10s);
    EXPECT_EQ(exit_code(status), 1);
    EXPECT_NE(daemon->output().find("Network IO error: NetIoError: "), std::string::npos)
        << daemon->output();
    EXPECT_NE(daemon->output().find("eth1"), std::string::npos);
    EXPECT_EQ(sandbox.syslog().count("qzel_avbd started"), 0U);
}

struct PortCounters {
    unsigned received{0}, other_avtp{0}, ignored{0};
};

PortCounters counters_of(const std::string& message) {
    static const std::regex pattern("received ([0-9]+),.* other avtp ([0-9]+),.* ignored ([0-9]+)");
    std::smatch match;
    PortCounters counters;
    if (std::regex_search(message, match, pattern)) {
        counters.received = static_cast<unsigned>(std::stoul(match[1]));
        counters.other_avtp = static_cast<unsigned>(std::stoul(match[2]));
        counters.ignored = static_cast<unsigned>(std::stoul(match[3]));
    }
    return counters;
}

TEST_F(Spine, ReceiveWorkersFilterWhatTheStackMustNotSee) {
    CardNetwork network;
    auto daemon = start_daemon(network);
    expect_started(*daemon);
    // The first poll re-opens both ports; counting starts once that is over.
    ASSERT_TRUE(sandbox.syslog().wait_for("Link of eth0 is up", 3s));
    ASSERT_TRUE(sandbox.syslog().wait_for("Link of eth1 is up", 3s));
    RawSocket port0(network.peer(), CardNetwork::peer_interface(0));
    RawSocket port1(network.peer(), CardNetwork::peer_interface(1));
    const auto peer0 = interface_mac(network.peer(), CardNetwork::peer_interface(0));
    const auto peer1 = interface_mac(network.peer(), CardNetwork::peer_interface(1));
    const std::uint8_t unknown_subtype[] = {0x7F, 0x00};

    // The shortest frame the stack can get: a bare AVTP header without a subtype byte.
    EXPECT_TRUE(port0.send(ethernet_frame(kAvdeccMulticast, peer0, 0x22F0, {}, 14)));
    // An 802.1Q-tagged gPTP frame is warned about and not looked into.
    const std::uint8_t tagged_ptp[] = {0x00, 0x02, 0x88, 0xF7, 0x0B, 0x02};
    EXPECT_TRUE(port0.send(ethernet_frame(kGptpMulticast, peer0, 0x8100, tagged_ptp)));
    // A frame carrying eth0's own source address: dropped on eth0, delivered on eth1.
    const auto own = ethernet_frame(kAvdeccMulticast, network.card_mac(0), 0x22F0, unknown_subtype);
    EXPECT_TRUE(port0.send(own));
    EXPECT_TRUE(port1.send(own));
    // IPv6 is dropped by the worker; ARP reaches the frame entry, which ignores it.
    const std::uint8_t ipv6_header[] = {0x60, 0, 0, 0, 0, 0, 58, 255};
    EXPECT_TRUE(port0.send(ethernet_frame(kAvdeccMulticast, peer0, 0x86DD, ipv6_header)));
    const std::uint8_t arp[] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    const net::MacAddress broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(port0.send(ethernet_frame(broadcast, peer0, 0x0806, arp)));
    (void)peer1;

    EXPECT_TRUE(
        sandbox.syslog().wait_for("Receiving tagged Ethernet Frames not implemented yet.", 5s));
    EXPECT_TRUE(sandbox.syslog().wait_for("AVTP frame of 14 bytes carries no subtype", 5s));
    EXPECT_TRUE(sandbox.syslog().wait_for("unrecognized AVTP packet with subtype: 127", 5s));
    std::this_thread::sleep_for(200ms);

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0);
    EXPECT_EQ(sandbox.syslog().count("unrecognized AVTP packet with subtype: 127"), 1U);

    const auto port0_line = sandbox.syslog().wait_for("Frame entry port 0:", 2s);
    const auto port1_line = sandbox.syslog().wait_for("Frame entry port 1:", 2s);
    ASSERT_TRUE(port0_line && port1_line);
    // Port 0: two workers' first frames, the 14-byte AVTP frame and the ARP frame.
    const auto c0 = counters_of(port0_line->message);
    EXPECT_EQ(c0.received, 4U) << port0_line->message;
    EXPECT_EQ(c0.other_avtp, 1U);
    EXPECT_EQ(c0.ignored, 3U);
    // Port 1: two first frames and eth0's frame seen on the other wire.
    const auto c1 = counters_of(port1_line->message);
    EXPECT_EQ(c1.received, 3U) << port1_line->message;
    EXPECT_EQ(c1.other_avtp, 1U);
    EXPECT_EQ(c1.ignored, 2U);
}

TEST_F(Spine, LinkDownAndUpRunTheDownAndUpPathsAndReopenThePort) {
    CardNetwork network;
    auto daemon = start_daemon(network);
    expect_started(*daemon);
    // The first poll finds both ports up; veth has no PHY, so the LED write fails once.
    ASSERT_TRUE(sandbox.syslog().wait_for("Link of eth0 is up", 3s));
    ASSERT_TRUE(sandbox.syslog().wait_for("Link of eth1 is up", 3s));
    EXPECT_TRUE(sandbox.syslog().wait_for("Failed to update network link LEDs: ", 1s));

    set_link(network.peer(), "p0", false);
    EXPECT_TRUE(
        sandbox.syslog().wait_for("Link down. Disable streams and reset state machines", 3s));
    set_link(network.peer(), "p0", true);
    for (int i = 0; i < 30 && sandbox.syslog().count("Link of eth0 is up") < 2; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(sandbox.syslog().count("Link of eth0 is up"), 2U);
    EXPECT_EQ(sandbox.syslog().count("Link of eth1 is up"), 1U);
    // One LED attempt per change of the link bits: up/up, down/up, up/up.
    EXPECT_EQ(sandbox.syslog().count("Failed to update network link LEDs: "), 3U);

    // Frames still reach the stack through the port's new capture and channel.
    RawSocket port0(network.peer(), CardNetwork::peer_interface(0));
    const std::uint8_t unknown_subtype[] = {0x7E, 0x00};
    port0.send(ethernet_frame(kAvdeccMulticast, interface_mac(network.peer(), "p0"), 0x22F0,
                              unknown_subtype));
    EXPECT_TRUE(sandbox.syslog().wait_for("unrecognized AVTP packet with subtype: 126", 3s));

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0) << daemon->output();
    // Three first frames on eth0 (start-up, the first poll that finds the link up, the link
    // coming back) and the one frame sent after that.
    const auto port0_line = sandbox.syslog().wait_for("Frame entry port 0:", 2s);
    ASSERT_TRUE(port0_line);
    EXPECT_EQ(counters_of(port0_line->message).received, 4U) << port0_line->message;
}

}  // namespace
}  // namespace qz::systest
