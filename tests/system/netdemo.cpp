// The main job on a virtual network: qzel_avbd on the simulated card in a card namespace whose
// eth0 and eth1 are veth ends, with ptp4l on both card ports and a gPTP grandmaster in a peer
// namespace. The peer sends the daemon a few frames and watches the card's entity being
// advertised; qzel_avdecc_ctl discovers, enumerates, locks, renames and changes the sample rate
// while a second controller hears the notifications; the host sees the rate report and changes
// the rate back; the daemon is restarted with its state kept; the entity departs on SIGTERM. The
// daemon's syslog records are printed as they arrive.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/command.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/raw_socket.h"
#include "tests/system/harness/sim_card.h"

using namespace qz;
using namespace qz::systest;
using namespace std::chrono_literals;

namespace {

constexpr net::MacAddress kAvdeccMulticast{0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00};
constexpr net::MacAddress kGptpMulticast{0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
constexpr net::MacAddress kIpv6Multicast{0x33, 0x33, 0x00, 0x00, 0x00, 0x01};

void say(const char* text) {
    std::printf("demo   | %s\n", text);
    std::fflush(stdout);
}

void show_lines(const char* tag, const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::printf("%s | %s\n", tag, line.c_str());
    }
    std::fflush(stdout);
}

std::uint64_t be(const std::vector<std::uint8_t>& f, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        v = v << 8 | f.at(at + i);
    }
    return v;
}

auto adp(int message_type) {
    return [message_type](const std::vector<std::uint8_t>& f) {
        return f.size() >= 82 && f[12] == 0x22 && f[13] == 0xF0 && f[14] == 0xFA &&
               (f[15] & 0x0F) == message_type;
    };
}

void show_adp(const char* port, const std::vector<std::uint8_t>& f) {
    static const char* kTypes[] = {"ENTITY_AVAILABLE", "ENTITY_DEPARTING", "ENTITY_DISCOVER"};
    std::printf(
        "peer   | %s got %s: entity_id 0x%016llx model 0x%016llx capabilities 0x%08llx "
        "talkers %llu listeners %llu available_index %llu grandmaster 0x%016llx\n",
        port, kTypes[(f[15] & 0x0F) % 3], static_cast<unsigned long long>(be(f, 18, 8)),
        static_cast<unsigned long long>(be(f, 26, 8)),
        static_cast<unsigned long long>(be(f, 34, 4)),
        static_cast<unsigned long long>(be(f, 38, 2)),
        static_cast<unsigned long long>(be(f, 42, 2)),
        static_cast<unsigned long long>(be(f, 50, 4)),
        static_cast<unsigned long long>(be(f, 54, 8)));
    std::fflush(stdout);
}

std::vector<std::string> controller_argv(const Netns& peer, std::vector<std::string> args) {
    auto argv = peer.exec_prefix();
    argv.push_back(built_program("tools/avdecc_controller/qzel_avdecc_ctl"));
    argv.push_back("-i");
    argv.push_back("p0");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// qzel_avdecc_ctl on the peer's p0, its output shown line by line.
CommandResult controller(const Netns& peer, std::vector<std::string> args) {
    auto result = run_command(controller_argv(peer, std::move(args)));
    show_lines("ctl   ", result.output);
    return result;
}

// qzel_host_ctl on the card's host link, its output shown line by line.
void host_ctl(const CardSandbox& sandbox, const SimCardFiles& files,
              const std::vector<std::string>& command) {
    std::vector<std::string> argv{built_program("tools/host_ctl/qzel_host_ctl"), files.host_socket};
    argv.insert(argv.end(), command.begin(), command.end());
    std::string line = "$ qzel_host_ctl SOCKET";
    for (const auto& part : command) {
        line += " " + part;
    }
    show_lines("host  ", line);
    Program tool(argv, sandbox.directory() + "/host_ctl.out");
    tool.wait_exit(30s);
    show_lines("host  ", tool.output());
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

    say("starting a gPTP grandmaster (ptp4l) in the peer namespace on p0");
    auto grandmaster = start_peer_ptp4l(sandbox, network.peer(), "p0", 100);
    say("starting ptp4l on the card's eth0 and eth1 and waiting for eth0 to follow the peer");
    auto ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    wait_for_port_state(sandbox, sandbox.run_directory() + "/ptp4l-eth0", {8, 9}, 20s);

    say("starting qzel_avbd on the simulated card in the card namespace");
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

    say("peer -> eth1: MSRP frame (EtherType 0x22EA)");
    const std::uint8_t msrp[] = {0x00, 0x01, 0x04, 0x00};
    port1.send(ethernet_frame(kGptpMulticast, peer1, 0x22EA, msrp));
    say("peer -> eth0: AVTP frame with an unknown subtype 0x7F");
    const std::uint8_t unknown[] = {0x7F, 0x00};
    port0.send(ethernet_frame(kAvdeccMulticast, peer0, 0x22F0, unknown));
    say("peer -> eth1: VLAN-tagged gPTP frame (dropped with a warning)");
    const std::uint8_t tagged[] = {0x00, 0x02, 0x88, 0xF7, 0x0B, 0x02};
    port1.send(ethernet_frame(kGptpMulticast, peer1, 0x8100, tagged));
    say("peer -> eth0: IPv6 frame (dropped silently by the receive worker)");
    const std::uint8_t ipv6[] = {0x60, 0, 0, 0, 0, 0, 58, 255};
    port0.send(ethernet_frame(kIpv6Multicast, peer0, 0x86DD, ipv6));

    say("peer waits for the card's advertisements (2 s after link-up, plus 0-4 s)");
    const auto first0 = port0.receive_matching(adp(0), 15000);
    if (!first0.empty()) {
        show_adp("p0", first0);
    }
    const auto first1 = port1.receive_matching(adp(0), 15000);
    if (!first1.empty()) {
        show_adp("p1", first1);
    }

    sandbox.syslog().set_echo(false);  // the controllers and the host speak for themselves now
    say("controller in the peer namespace: discover the card's entity");
    CommandResult discovered;
    for (int attempt = 0; attempt < 5 && discovered.status != 0; ++attempt) {
        discovered = controller(network.peer(), {"discover", "5"});
    }
    const auto id = discovered.output.find("entity 0x");
    const auto at = discovered.output.find(" mac ");
    if (discovered.status != 0 || id == std::string::npos || at == std::string::npos) {
        say("the entity did not answer");
        return 1;
    }
    const auto entity = discovered.output.substr(id + 7, 18);
    const auto mac = discovered.output.substr(at + 5, 17);
    say("enumerate every descriptor of the entity");
    controller(network.peer(), {"-e", entity, "-m", mac, "enumerate"});

    say("a second controller registers for notifications; the first locks, renames a stream and "
        "sets 96000 Hz");
    Program listener(controller_argv(network.peer(), {"-e", entity, "-m", mac, "-c",
                                                      "0x0200000000000c0c", "listen", "6"}),
                     sandbox.directory() + "/listener.out");
    std::this_thread::sleep_for(500ms);
    controller(network.peer(), {"-e", entity, "-m", mac, "lock"});
    controller(network.peer(),
               {"-e", entity, "-m", mac, "set-name", "STREAM_INPUT", "0", "Stage left"});
    controller(network.peer(), {"-e", entity, "-m", mac, "set-rate", "96000"});
    controller(network.peer(), {"-e", entity, "-m", mac, "unlock"});
    say("the host reads the rate the controller set, then sets 48000 Hz itself");
    host_ctl(sandbox, files, {"get", "rate"});
    host_ctl(sandbox, files, {"set", "rate", "48000"});
    (void)listener.wait_exit(15s);
    say("what the second controller heard:");
    show_lines("listen", listener.output());

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
    say("after the restart the entity advertises again, the stream keeps its name and the card "
        "its rate");
    port0.drain();
    const auto again = port0.receive_matching(adp(0), 15000);
    if (!again.empty()) {
        show_adp("p0", again);
    }
    controller(network.peer(), {"-e", entity, "-m", mac, "get-name", "STREAM_INPUT", "0"});
    host_ctl(sandbox, files, {"get", "rate"});

    say("sending SIGTERM");
    port0.drain();
    port1.drain();
    daemon->signal(SIGTERM);
    const auto status = daemon->wait_exit(5s);
    for (auto* socket : {&port0, &port1}) {
        const auto departing = socket->receive_matching(adp(1), 2000);
        if (!departing.empty()) {
            show_adp(socket == &port0 ? "p0" : "p1", departing);
        }
    }
    std::this_thread::sleep_for(200ms);
    std::printf("demo   | qzel_avbd exit status: %d\n", exit_code(status));
    return exit_code(status) == 0 && !first0.empty() && !first1.empty() ? 0 : 1;
}
