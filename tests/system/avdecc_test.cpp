// The AVDECC receive path of the running daemon, seen from a peer and read back by tshark:
// GET_MILAN_INFO, a vendor-unique command that is not implemented, and an address-access READ.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

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

void put(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t value, std::size_t width) {
    if (b.size() < at + width) {
        b.resize(at + width, 0);
    }
    for (std::size_t i = 0; i < width; ++i) {
        b[at + width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t get(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        v = v << 8 | b.at(at + i);
    }
    return v;
}

constexpr std::uint64_t kController = 0x0200000000000099ULL;

// An AECP command frame (without the Ethernet header's addresses) with the common fields set;
// `payload` follows sequence_id at offset 36.
std::vector<std::uint8_t> aecp_command(std::uint8_t message_type, std::uint64_t target,
                                       std::uint16_t sequence_id,
                                       const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> p(22, 0);  // from offset 14
    p[0] = 0xFB;
    p[1] = message_type;
    put(p, 4, target, 8);
    put(p, 12, kController, 8);
    put(p, 20, sequence_id, 2);
    p.insert(p.end(), payload.begin(), payload.end());
    put(p, 2, p.size() - 12, 2);  // control_data_length after the 12-byte header
    return p;
}

std::vector<std::uint8_t> vendor_unique(std::uint16_t command_type) {
    std::vector<std::uint8_t> v{0x00, 0x1B, 0xC5, 0x0A, 0xC1, 0x00};
    put(v, 6, command_type, 2);
    v.resize(20, 0);  // reserved, and room for the answer's fields
    return v;
}

TEST(AvdeccOnTheWire, MilanInfoVendorUniqueAndAddressAccessAreAnswered) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    CardNetwork network;
    CardSandbox sandbox;
    auto ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    TsharkCapture wire(network.peer(), "p0", sandbox.directory() + "/p0.pcapng");
    auto daemon = sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(),
                                "qzel_avbd.out");
    ASSERT_TRUE(sandbox.syslog().wait_for("qzel_avbd started", 10s)) << daemon->output();

    RawSocket port0(network.peer(), "p0");
    const auto peer = interface_mac(network.peer(), "p0");
    const auto card = network.card_mac(0);
    const auto entity_id = ptp::clock_identity_from_mac(card);
    const auto answer_to = [&](std::uint16_t sequence_id) {
        return port0.receive_matching(
            [&](const std::vector<std::uint8_t>& f) {
                return f.size() >= 36 && f[14] == 0xFB && (f[15] & 0x01) == 1 &&
                       get(f, 34, 2) == sequence_id;
            },
            3000);
    };

    port0.send(ethernet_frame(card, peer, 0x22F0, aecp_command(6, entity_id, 1, vendor_unique(0))));
    const auto milan = answer_to(1);
    ASSERT_GE(milan.size(), 12U);
    EXPECT_TRUE(std::equal(card.begin(), card.end(), milan.begin() + 6));  // from the card
    EXPECT_TRUE(std::equal(peer.begin(), peer.end(), milan.begin()));      // to the controller
    ASSERT_EQ(milan.size(), 58U);  // sent as built: nothing pads frames on the way
    EXPECT_EQ(milan[15] & 0x0F, 7);
    EXPECT_EQ(milan[16] >> 3, 0);      // SUCCESS
    EXPECT_EQ(get(milan, 46, 4), 1U);  // protocol_version

    port0.send(ethernet_frame(card, peer, 0x22F0, aecp_command(6, entity_id, 2, vendor_unique(1))));
    const auto not_implemented = answer_to(2);
    ASSERT_FALSE(not_implemented.empty());
    EXPECT_EQ(not_implemented[15] & 0x0F, 7);
    EXPECT_EQ(not_implemented[16] >> 3, 1);  // NOT_IMPLEMENTED

    // READ of 16 bytes at the entity image's address; without a logo there is no image.
    std::vector<std::uint8_t> tlv;
    put(tlv, 0, 1, 2);                 // tlv_count
    put(tlv, 2, (0u << 12) | 16u, 2);  // mode READ, length 16
    put(tlv, 4, 0x4C4F474FULL, 8);     // address
    tlv.resize(tlv.size() + 16, 0);    // memory_data to be filled in
    port0.send(ethernet_frame(card, peer, 0x22F0, aecp_command(2, entity_id, 3, tlv)));
    const auto read = answer_to(3);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read[15] & 0x0F, 3);  // ADDRESS_ACCESS_RESPONSE
    EXPECT_EQ(read[16] >> 3, 4);    // ADDRESS_INVALID

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0);

    // tshark reads the three answers as the card sent them, none malformed.
    const auto rows = wire.fields("ieee17221.sequence_id && eth.src == " + net::to_string(card),
                                  {"ieee17221.sequence_id", "ieee17221.message_type",
                                   "ieee17221.status", "ieee17221.protocol_id", "_ws.malformed"});
    ASSERT_EQ(rows.size(), 3U) << wire.summary();
    for (const auto& row : rows) {
        EXPECT_TRUE(row[4].empty()) << "malformed answer " << row[0];
    }
    EXPECT_EQ(rows[0][1], "7");
    EXPECT_EQ(rows[2][1], "3");
}

}  // namespace
}  // namespace qz::systest
