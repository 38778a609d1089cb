// Discovery timing and the cost of steady advertising, on a virtual network with real ptp4l.
//
// 1. Five runs: time from the daemon seeing each port's link up to the first ENTITY_AVAILABLE
//    that a peer receives on that port.
// 2. CPU time of the daemon over 60 s of steady advertising with both ports up.
#include <algorithm>
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

bool is_available(const std::vector<std::uint8_t>& f) {
    return f.size() >= 82 && f[12] == 0x22 && f[13] == 0xF0 && f[14] == 0xFA && (f[15] & 0x0F) == 0;
}

double ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main() {
    std::vector<double> delays[2];
    for (int run = 0; run < 5; ++run) {
        CardNetwork network;
        CardSandbox sandbox;
        auto ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
        RawSocket port0(network.peer(), "p0");
        RawSocket port1(network.peer(), "p1");
        auto daemon =
            sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(), "out");
        const auto up0 = sandbox.syslog().wait_for("Link of eth0 is up", 10s);
        const auto up1 = sandbox.syslog().wait_for("Link of eth1 is up", 10s);
        RawSocket* sockets[2] = {&port0, &port1};
        for (int port = 0; port < 2; ++port) {
            const auto frame = sockets[port]->receive_matching(is_available, 20000);
            const auto at = std::chrono::steady_clock::now();
            const auto& up = port == 0 ? up0 : up1;
            if (!frame.empty() && up) {
                delays[port].push_back(ms(at - up->received));
            }
        }
        daemon->signal(SIGTERM);
        daemon->wait_exit(5s);
    }
    for (int port = 0; port < 2; ++port) {
        std::printf("eth%d link-up to first ENTITY_AVAILABLE (ms):", port);
        for (double d : delays[port]) {
            std::printf(" %.0f", d);
        }
        std::printf("\n");
    }

    CardNetwork network;
    CardSandbox sandbox;
    auto ptp4l = start_card_ptp4ls(sandbox, network.card(), {"eth0", "eth1"});
    auto daemon =
        sandbox.start(network.card(), SimCardFiles(sandbox.directory()).daemon_argv(), "out");
    sandbox.syslog().wait_for("qzel_avbd started", 10s);
    std::this_thread::sleep_for(10s);  // both ports advertising
    const auto before = process_usage(daemon->pid());
    std::this_thread::sleep_for(60s);
    const auto after = process_usage(daemon->pid());
    std::printf("60 s of steady advertising: cpu %.2f s (%.2f %%), rss %ld KiB\n",
                after.cpu_seconds - before.cpu_seconds,
                (after.cpu_seconds - before.cpu_seconds) / 60.0 * 100.0, after.rss_kib);
    daemon->signal(SIGTERM);
    daemon->wait_exit(5s);
    return 0;
}
