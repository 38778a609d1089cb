// A controller in the peer namespace (qzel_avdecc_ctl) against qzel_avbd in the card namespace:
// discovery, enumeration of the whole entity, lock, changes and their notifications, with tshark
// reading the AECP frames on the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <thread>

#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/command.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/sim_card.h"
#include "tests/system/harness/tshark_capture.h"

namespace qz::systest {
namespace {

using namespace std::chrono_literals;

constexpr const char* kControllerB = "0x0200000000000b0b";
constexpr const char* kListener = "0x0200000000000c0c";

class AecpSystem : public ::testing::Test {
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

    std::vector<std::string> ctl(const std::vector<std::string>& args) const {
        auto argv = network.peer().exec_prefix();
        argv.push_back(built_program("tools/avdecc_controller/qzel_avdecc_ctl"));
        argv.push_back("-i");
        argv.push_back("p0");
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    CommandResult run(const std::vector<std::string>& args) const { return run_command(ctl(args)); }

    CardNetwork network;
    CardSandbox sandbox;
    std::vector<std::unique_ptr<Program>> ptp4l;
};

TEST_F(AecpSystem, ControllerDiscoversEnumeratesLocksAndIsNotified) {
    std::unique_ptr<TsharkCapture> capture;
    const auto pcap = sandbox.directory() + "/p0.pcap";
    if (tshark_available()) {
        capture = std::make_unique<TsharkCapture>(network.peer(), "p0", pcap);
    }
    ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    auto daemon = sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(),
                                "qzel_avbd.out");
    ASSERT_TRUE(sandbox.syslog().wait_for("qzel_avbd started", 10s)) << daemon->output();

    // The entity advertises once gPTP has settled on the port.
    CommandResult discovered;
    for (int attempt = 0; attempt < 10; ++attempt) {
        discovered = run({"discover", "2"});
        if (discovered.status == 0) {
            break;
        }
    }
    ASSERT_EQ(discovered.status, 0) << discovered.output;
    std::smatch id;
    ASSERT_TRUE(std::regex_search(discovered.output, id,
                                  std::regex("entity (0x[0-9a-f]{16}) .* mac ([0-9a-f:]{17})")))
        << discovered.output;
    const std::string entity = id[1];
    const std::string mac = id[2];

    auto enumerated = run({"-e", entity, "enumerate"});  // finds the entity by discovery
    ASSERT_EQ(enumerated.status, 0) << enumerated.output;
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(enumerated.output, counts, std::regex("descriptors (\\d+)")))
        << enumerated.output;
    // 34 streams each way, 41 clock sources and the clusters alone make several hundred.
    EXPECT_GT(std::stoi(counts[1]), 500) << enumerated.output;
    EXPECT_NE(enumerated.output.find("STREAM_INPUT"), std::string::npos);
    EXPECT_NE(enumerated.output.find("AUDIO_CLUSTER"), std::string::npos);
    std::printf("%s", enumerated.output.c_str());

    // A third controller listens for notifications meanwhile.
    auto listener_argv = ctl({"-e", entity, "-m", mac, "-c", kListener, "listen", "6"});
    Program listener(listener_argv, sandbox.directory() + "/listener.out");
    for (int i = 0; i < 50 && listener.output().find("registered") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_NE(listener.output().find("registered"), std::string::npos) << listener.output();

    auto locked = run({"-e", entity, "-m", mac, "lock"});
    ASSERT_EQ(locked.status, 0) << locked.output;
    auto refused =
        run({"-e", entity, "-m", mac, "-c", kControllerB, "set-name", "STREAM_INPUT", "0", "B"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("ENTITY_LOCKED"), std::string::npos) << refused.output;
    auto unlock_b = run({"-e", entity, "-m", mac, "-c", kControllerB, "unlock"});
    EXPECT_EQ(unlock_b.status, 1) << unlock_b.output;

    auto renamed = run({"-e", entity, "-m", mac, "set-name", "STREAM_INPUT", "0", "Stage left"});
    ASSERT_EQ(renamed.status, 0) << renamed.output;
    auto name = run({"-e", entity, "-m", mac, "-c", kControllerB, "get-name", "STREAM_INPUT", "0"});
    EXPECT_EQ(name.status, 0);
    EXPECT_NE(name.output.find("Stage left"), std::string::npos) << name.output;
    auto rate = run({"-e", entity, "-m", mac, "get-rate"});
    EXPECT_EQ(rate.status, 0) << rate.output;
    EXPECT_NE(rate.output.find("48000"), std::string::npos) << rate.output;
    auto unlocked = run({"-e", entity, "-m", mac, "unlock"});
    EXPECT_EQ(unlocked.status, 0) << unlocked.output;

    ASSERT_EQ(exit_code(listener.wait_exit(15s)), 0) << listener.output();
    const auto heard = listener.output();
    EXPECT_NE(heard.find("notification SET_NAME STREAM_INPUT 0"), std::string::npos) << heard;
    EXPECT_NE(heard.find("\"Stage left\""), std::string::npos) << heard;
    EXPECT_NE(heard.find("notification LOCK_ENTITY"), std::string::npos) << heard;

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0) << daemon->output();

    if (capture) {
        capture->stop();
        const auto responses = capture->fields(
            "ieee17221.command_type && ieee17221.message_type == 1", {"frame.number"});
        EXPECT_GT(responses.size(), 500U);
        const auto malformed = capture->fields("ieee17221 && _ws.malformed", {"frame.number"});
        EXPECT_TRUE(malformed.empty()) << malformed.size() << " malformed AECP frames";
        const auto unsolicited = capture->fields(
            "ieee17221.message_type == 1 && ieee17221.u_flag == 1", {"frame.number"});
        EXPECT_GE(unsolicited.size(), 2U);
    }
}

TEST_F(AecpSystem, FailuresExitNonZeroWithAReason) {
    // No daemon: nothing answers.
    auto nobody = run({"get-rate"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.output.find("error: no entity answered"), std::string::npos) << nobody.output;
    auto usage = run({});
    EXPECT_EQ(usage.status, 2);
    auto bad_interface = run_command({"ip", "netns", "exec", network.peer().name(),
                                      built_program("tools/avdecc_controller/qzel_avdecc_ctl"),
                                      "-i", "nope0", "discover"});
    EXPECT_EQ(bad_interface.status, 1);
    EXPECT_NE(bad_interface.output.find("interface nope0"), std::string::npos)
        << bad_interface.output;
}

}  // namespace
}  // namespace qz::systest
