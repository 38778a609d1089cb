// Discovery on a virtual network: the card's entity advertises once its links are up and gPTP
// has a grandmaster, answers ENTITY_DISCOVER and departs on SIGTERM. Real ptp4l instances run on
// both sides; tshark reads the wire independently.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "ptp_mng/clock_identity.h"
#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/raw_socket.h"
#include "tests/system/harness/sim_card.h"
#include "tests/system/harness/tshark_capture.h"

namespace qz::systest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr net::MacAddress kAvdeccMulticast{0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00};

std::uint64_t be64(const std::vector<std::uint8_t>& f, std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        v = v << 8 | f.at(at + i);
    }
    return v;
}

std::uint32_t be32(const std::vector<std::uint8_t>& f, std::size_t at) {
    return static_cast<std::uint32_t>(be64(f, at) >> 32);
}

// An ADP frame of the given message type (0 available, 1 departing, 2 discover).
auto adp(int message_type) {
    return [message_type](const std::vector<std::uint8_t>& f) {
        return f.size() >= 82 && f[12] == 0x22 && f[13] == 0xF0 && f[14] == 0xFA &&
               (f[15] & 0x0F) == message_type;
    };
}

struct Adp {
    std::uint64_t entity_id, entity_model_id, grandmaster;
    std::uint32_t available_index;
    Clock::time_point at;
    net::MacAddress source;
};

Adp decode(const std::vector<std::uint8_t>& f, Clock::time_point at) {
    net::MacAddress source{};
    std::copy(f.begin() + 6, f.begin() + 12, source.begin());
    return {be64(f, 18), be64(f, 26), be64(f, 54), be32(f, 50), at, source};
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
    }
    void TearDown() override {
        if (HasFailure()) {
            for (const auto& record : sandbox.syslog().records()) {
                std::printf("syslog: %s\n", record.raw.c_str());
            }
        }
    }

    std::unique_ptr<Program> start_daemon(bool follow_peer = false) {
        card_ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
        if (follow_peer) {
            // The card's start-up scripts bring ptp4l up before the daemon; let it settle on the
            // peer's clock so the daemon sees one grandmaster from its first second on.
            EXPECT_TRUE(wait_for_port_state(sandbox, sandbox.run_directory() + "/ptp4l-eth0",
                                            {8, 9}, std::chrono::seconds(20)));
        }
        auto daemon = sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(),
                                    "qzel_avbd.out");
        EXPECT_TRUE(sandbox.syslog().wait_for("qzel_avbd started", 10s)) << daemon->output();
        return daemon;
    }

    std::optional<Adp> next_adp(RawSocket& socket, int type, std::chrono::milliseconds within) {
        auto frame = socket.receive_matching(adp(type), static_cast<int>(within.count()));
        if (frame.empty()) {
            return std::nullopt;
        }
        return decode(frame, Clock::now());
    }

    CardNetwork network;
    CardSandbox sandbox;
    std::vector<std::unique_ptr<Program>> card_ptp4l;
    std::unique_ptr<Program> peer_ptp4l;
};

TEST_F(Discovery, AdvertisesThePeerGrandmasterAnswersDiscoverAndDepartsOnSigterm) {
    peer_ptp4l = start_peer_ptp4l(sandbox, network.peer(), "p0", 100);
    RawSocket port0(network.peer(), "p0");
    RawSocket port1(network.peer(), "p1");
    const auto peer_identity = ptp::clock_identity_from_mac(interface_mac(network.peer(), "p0"));
    const auto card_identity = ptp::clock_identity_from_mac(network.card_mac(0));
    TsharkCapture wire(network.peer(), "p0", sandbox.directory() + "/p0.pcapng");
    auto daemon = start_daemon(/*follow_peer=*/true);
    const auto link_up = sandbox.syslog().wait_for("Link of eth0 is up", 5s);
    ASSERT_TRUE(link_up);

    // First advertisement: 2 s of settling after link-up, then up to 4 s of random delay.
    auto first = next_adp(port0, 0, 10s);
    ASSERT_TRUE(first);
    const auto delay = first->at - link_up->received;
    EXPECT_GE(delay, 1900ms);
    EXPECT_LE(delay, 7s);
    EXPECT_EQ(first->entity_id, card_identity);
    EXPECT_EQ(first->source, network.card_mac(0));
    EXPECT_EQ(first->available_index, 0U);
    EXPECT_EQ(first->grandmaster, peer_identity);

    // ENTITY_DISCOVER for every entity, then for this one: each answered within 4 s.
    for (const std::uint64_t target : {std::uint64_t{0}, first->entity_id}) {
        std::vector<std::uint8_t> discover(68, 0);
        discover[0] = 0xFA;
        discover[1] = 0x02;
        discover[3] = 56;
        for (int i = 0; i < 8; ++i) {
            discover[4 + i] = static_cast<std::uint8_t>(target >> (56 - 8 * i));
        }
        const auto sent = Clock::now();
        port0.send(ethernet_frame(kAvdeccMulticast, interface_mac(network.peer(), "p0"), 0x22F0,
                                  discover));
        auto answer = next_adp(port0, 0, 5s);
        ASSERT_TRUE(answer);
        EXPECT_LE(answer->at - sent, 4100ms);
        EXPECT_GT(answer->available_index, first->available_index);
        first = answer;
    }
    // Nothing runs gPTP behind p1, so the card's ptp4l on eth1 is master there and eth1
    // advertises its own clock identity.
    auto second_port = next_adp(port1, 0, 12s);
    ASSERT_TRUE(second_port);
    EXPECT_EQ(second_port->grandmaster, ptp::clock_identity_from_mac(network.card_mac(1)));

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0) << daemon->output();
    auto departing0 = next_adp(port0, 1, 2s);
    auto departing1 = next_adp(port1, 1, 2s);
    ASSERT_TRUE(departing0);
    ASSERT_TRUE(departing1);
    EXPECT_EQ(departing0->entity_id, card_identity);

    // tshark's dissector agrees with what the frames say.
    const auto rows =
        wire.fields("ieee17221.valid_time", {"ieee17221.message_type", "ieee17221.entity_id",
                                             "ieee17221.gptp_grandmaster_id", "_ws.malformed"});
    ASSERT_GE(rows.size(), 3U);
    std::size_t departing_rows = 0;
    for (const auto& row : rows) {
        EXPECT_TRUE(row[3].empty()) << "malformed ADP frame";
        departing_rows += row[0] == "1" ? 1 : 0;
    }
    EXPECT_EQ(departing_rows, 1U);
}

TEST_F(Discovery, WithoutAPeerClockThePortIsItsOwnGrandmaster) {
    RawSocket port0(network.peer(), "p0");
    auto daemon = start_daemon();
    // The card's ptp4l becomes MASTER after its Announce receipt time-out; the daemon learns it
    // from the port data set and only then starts advertising.
    auto first = next_adp(port0, 0, 15s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->grandmaster, ptp::clock_identity_from_mac(network.card_mac(0)));
    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0);
}

}  // namespace
}  // namespace qz::systest
