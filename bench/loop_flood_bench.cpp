// Main-loop fairness and cost of qzel_avbd on a virtual network.
//
// 1. Idle for 10 s: the daemon's CPU time and resident memory.
// 2. Both ports flooded with AVDECC frames for 10 s: frames handled per second by the main loop
//    and the largest lateness of the 5 ms and 10 ms ticks (from the daemon's own statistics).
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
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

std::unique_ptr<Program> start(CardSandbox& sandbox, const CardNetwork& network) {
    static std::vector<std::unique_ptr<Program>> ptp4l;
    ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    auto daemon =
        sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(), "out");
    if (!sandbox.syslog().wait_for("qzel_avbd started", 10s)) {
        std::fprintf(stderr, "daemon did not start: %s\n", daemon->output().c_str());
        std::exit(1);
    }
    return daemon;
}

}  // namespace

int main() {
    {
        CardNetwork network;
        CardSandbox sandbox;
        auto daemon = start(sandbox, network);
        const auto before = process_usage(daemon->pid());
        std::this_thread::sleep_for(10s);
        const auto after = process_usage(daemon->pid());
        std::printf("idle 10 s: cpu %.3f s (%.2f %%), rss %ld KiB\n",
                    after.cpu_seconds - before.cpu_seconds,
                    (after.cpu_seconds - before.cpu_seconds) * 10.0, after.rss_kib);
        daemon->signal(SIGTERM);
        daemon->wait_exit(5s);
    }
    {
        CardNetwork network;
        CardSandbox sandbox;
        auto daemon = start(sandbox, network);
        std::atomic<bool> stop{false};
        std::atomic<unsigned long> sent{0};
        auto flood = [&](std::size_t port) {
            RawSocket socket(network.peer(), CardNetwork::peer_interface(port));
            const auto source = interface_mac(network.peer(), CardNetwork::peer_interface(port));
            std::uint8_t adp[68] = {0xFA, 0x00, 0x50, 0x38};
            const auto frame =
                ethernet_frame({0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00}, source, 0x22F0, adp);
            while (!stop) {
                if (socket.send(frame)) {
                    ++sent;
                }
            }
        };
        std::thread port0(flood, 0);
        std::thread port1(flood, 1);
        std::this_thread::sleep_for(10s);
        stop = true;
        port0.join();
        port1.join();
        const auto usage = process_usage(daemon->pid());
        daemon->signal(SIGTERM);
        daemon->wait_exit(10s);
        const auto stats = sandbox.syslog().wait_for("Main loop statistics", 5s);
        const auto p0 = sandbox.syslog().wait_for("Frame entry port 0", 1s);
        const auto p1 = sandbox.syslog().wait_for("Frame entry port 1", 1s);
        std::printf("flood 10 s: frames sent by the peer %lu, daemon cpu %.2f s, rss %ld KiB\n",
                    sent.load(), usage.cpu_seconds, usage.rss_kib);
        std::printf("%s\n%s\n%s\n", stats ? stats->message.c_str() : "(no statistics)",
                    p0 ? p0->message.c_str() : "", p1 ? p1->message.c_str() : "");
    }
    return 0;
}
