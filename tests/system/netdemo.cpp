// The main job on a virtual network: qzel_avbd on the simulated card in a namespace whose eth0
// and eth1 are veth ends, a peer namespace sending it a few frames, the host changing the card's
// settings through qzel_host_ctl, the state kept across a restart, the daemon's syslog records as
// they arrive, then SIGTERM and the exit status.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/raw_socket.h"
#include "tests/system/harness/sim_card.h"

using namespace qz;
using namespace qz::systest;
using namespace std::chrono_literals;

namespace {

constexpr net::MacAddress kAvdeccMulticast{0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00};
constexpr net::MacAddress kMsrpMulticast{0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
constexpr net::MacAddress kIpv6Multicast{0x33, 0x33, 0x00, 0x00, 0x00, 0x01};

void say(const char* text) {
    std::printf("demo   | %s\n", text);
    std::fflush(stdout);
}

// Runs qzel_host_ctl against the card's host link and shows what it printed.
void host_ctl(const CardSandbox& sandbox, const SimCardFiles& files,
              const std::vector<std::string>& command) {
    std::vector<std::string> argv{built_program("tools/host_ctl/qzel_host_ctl"), files.host_socket};
    argv.insert(argv.end(), command.begin(), command.end());
    std::string line = "host   | $ qzel_host_ctl SOCKET";
    for (const auto& part : command) {
        line += " " + part;
    }
    std::printf("%s\n", line.c_str());
    Program tool(argv, sandbox.directory() + "/host_ctl.out");
    tool.wait_exit(30s);
    std::istringstream output(tool.output());
    for (std::string text; std::getline(output, text);) {
        std::printf("host   |   %s\n", text.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main() {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "the demo makes network namespaces and must run as root\n");
        return 2;
    }
    say("creating the card namespace (eth0, eth1) and a peer namespace (p0, p1) over veth");
    CardNetwork network;
    CardSandbox sandbox;
    sandbox.syslog().set_echo(true);

    say("starting ptp4l on the card's eth0 and eth1, then qzel_avbd in the card namespace");
    auto ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    const SimCardFiles files(sandbox.directory());
    auto daemon = sandbox.start(network.card(), files.daemon_argv(), "qzel_avbd.out");
    if (!sandbox.syslog().wait_for("qzel_avbd started", 10s)) {
        std::printf("qzel_avbd did not start:\n%s\n", daemon->output().c_str());
        return 1;
    }

    RawSocket port0(network.peer(), "p0");
    RawSocket port1(network.peer(), "p1");
    const auto peer0 = interface_mac(network.peer(), "p0");
    const auto peer1 = interface_mac(network.peer(), "p1");

    say("peer -> eth0: ADP ENTITY_DISCOVER (AVTP subtype 0xFA)");
    std::uint8_t discover[68] = {0xFA, 0x02, 0x00, 0x38};
    port0.send(ethernet_frame(kAvdeccMulticast, peer0, 0x22F0, discover));
    say("peer -> eth1: MSRP frame (EtherType 0x22EA)");
    const std::uint8_t msrp[] = {0x00, 0x01, 0x04, 0x00};
    port1.send(ethernet_frame(kMsrpMulticast, peer1, 0x22EA, msrp));
    say("peer -> eth0: gPTP Announce (EtherType 0x88F7)");
    std::uint8_t announce[64] = {0x1B, 0x02, 0x00, 0x40};
    port0.send(ethernet_frame(kMsrpMulticast, peer0, 0x88F7, announce));
    say("peer -> eth0: AVTP frame with an unknown subtype 0x7F");
    const std::uint8_t unknown[] = {0x7F, 0x00};
    port0.send(ethernet_frame(kAvdeccMulticast, peer0, 0x22F0, unknown));
    say("peer -> eth1: VLAN-tagged gPTP frame (dropped with a warning)");
    const std::uint8_t tagged[] = {0x00, 0x02, 0x88, 0xF7, 0x0B, 0x02};
    port1.send(ethernet_frame(kMsrpMulticast, peer1, 0x8100, tagged));
    say("peer -> eth0: IPv6 frame (dropped silently by the receive worker)");
    const std::uint8_t ipv6[] = {0x60, 0, 0, 0, 0, 0, 58, 255};
    port0.send(ethernet_frame(kIpv6Multicast, peer0, 0x86DD, ipv6));

    std::this_thread::sleep_for(2s);

    say("the host asks for the sample rate and sets 96000 Hz, clock source 72 and identify");
    host_ctl(sandbox, files, {"get", "rate"});
    host_ctl(sandbox, files, {"set", "rate", "96000"});
    host_ctl(sandbox, files, {"set", "clock", "72"});
    host_ctl(sandbox, files, {"identify", "on"});
    host_ctl(sandbox, files, {"set", "routing", "1", "0x1002"});
    say("the entity persistor stores the model within 2 s; restarting the daemon");
    std::this_thread::sleep_for(2500ms);
    daemon->signal(SIGTERM);
    daemon->wait_exit(5s);
    daemon = sandbox.start(network.card(), files.daemon_argv(), "qzel_avbd.out");
    if (!sandbox.syslog().wait_for("qzel_avbd started", 10s)) {
        std::printf("qzel_avbd did not start again:\n%s\n", daemon->output().c_str());
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    say("after the restart the card still runs at 96000 Hz with the host's routing");
    host_ctl(sandbox, files, {"get", "rate"});
    host_ctl(sandbox, files, {"get", "routing", "1"});
    say("200 host rate changes, each timed from the set word to the card's rate report");
    host_ctl(sandbox, files, {"bench-rate", "200"});

    say("sending SIGTERM");
    daemon->signal(SIGTERM);
    const auto status = daemon->wait_exit(5s);
    std::this_thread::sleep_for(200ms);
    std::printf("demo   | qzel_avbd exit status: %d\n", exit_code(status));
    return exit_code(status) == 0 ? 0 : 1;
}
