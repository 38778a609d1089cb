#include "avbd/daemon_state.h"

#include "support/fatal.h"
#include "support/log.h"

namespace qz::avbd {

DaemonState::DaemonState(DaemonSettings s, Selector sel, std::unique_ptr<RandomSource> r)
    : settings(std::move(s)), selector(std::move(sel)), random(std::move(r)) {}

void DaemonState::log_statistics() const {
    log::debug("qzel_avbd", "{}", stats.summary());
    for (std::size_t port = 0; port < 2 && stack; ++port) {
        const auto& c = stack->counters(port);
        log::debug("qzel_avbd",
                   "Frame entry port {}: received {}, msrp {}, mvrp {}, adp {}, aecp {}, acmp {}, "
                   "maap {}, other avtp {}, ptp {}, ignored {}",
                   port, c.received, c.msrp, c.mvrp, c.adp, c.aecp, c.acmp, c.maap, c.avtp_other,
                   c.ptp, c.ignored);
    }
}

void DaemonState::replace_port(std::size_t port, net::OpenedPort opened) {
    ports.at(port) = std::move(opened.port);
    frame_channels.at(port) = std::move(opened.frames);
    const auto source = static_cast<std::size_t>(Source::FramesPort0) + port;
    if (auto replaced = selector.replace(source, frame_channels[port]->fd()); !replaced) {
        fatal("cannot wait on the re-opened port: " + replaced.error());
    }
}

DaemonState::~DaemonState() {
    if (stack) {
        stack->depart_all();
    }
}

}  // namespace qz::avbd
