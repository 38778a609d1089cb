// The ptp4l management client against a real ptp4l on a virtual network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "ptp_mng/ptp_client.h"
#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"

namespace qz::systest {
namespace {

using namespace std::chrono_literals;

TEST(Ptp4lClient, CardPortFollowsThePeerGrandmasterAndReportsPeerDelay) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    CardNetwork network;
    CardSandbox sandbox;
    auto grandmaster = start_peer_ptp4l(sandbox, network.peer(), "p0", 100);
    auto card_ptp4l = start_card_ptp4l(sandbox, network.card(), "eth0");
    const std::string socket = sandbox.run_directory() + "/ptp4l-eth0";
    ASSERT_TRUE(wait_for_socket(socket, 5000)) << card_ptp4l->output();

    auto client = ptp::PtpManagementClient::open_client(
        socket, sandbox.directory() + "/client.sock", static_cast<std::uint32_t>(::getpid()));
    ASSERT_TRUE(client) << client.error();

    // ptp4l needs a few Announce intervals to choose the peer as its master, and a few peer
    // delay exchanges to measure the link.
    const auto follows_peer = [](const ptp::PortDataSet& set) {
        return (set.port_state == static_cast<std::uint8_t>(ptp::PortState::Uncalibrated) ||
                set.port_state == static_cast<std::uint8_t>(ptp::PortState::Slave)) &&
               ptp::path_delay_nanoseconds(set.peer_mean_path_delay) > 0;
    };
    std::optional<ptp::PortDataSet> last;
    for (int second = 0; second < 20 && !(last && follows_peer(*last)); ++second) {
        std::this_thread::sleep_for(1s);
        if (auto set = (*client)->get_port_data_set(200ms)) {
            last = *set;
        }
    }
    ASSERT_TRUE(last) << card_ptp4l->output();
    EXPECT_TRUE(follows_peer(*last)) << "port state " << int(last->port_state) << "\n"
                                     << card_ptp4l->output();
    EXPECT_EQ(last->clock_identity, ptp::clock_identity_from_mac(network.card_mac(0)));
}

}  // namespace
}  // namespace qz::systest
