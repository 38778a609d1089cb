#include "avbd/main_loop.h"

#include "avbd/device/device_ctrl.h"
#include "avbd/link_monitor.h"
#include "avbd/signals.h"
#include "support/fatal.h"
#include "support/log.h"

namespace qz::avbd {
namespace {

Instant take_tick(PeriodicTimer& timer, DaemonState& state, Source source) {
    auto due = timer.take();
    if (!due) {
        fatal("main loop timer can no longer deliver ticks: " + due.error());
    }
    state.stats.note_tick(source, *due, SteadyClock::now());
    return *due;
}

void serve_device_request(DaemonState& state) {
    auto result = state.device_requests->try_recv();
    if (result.status == RecvStatus::Disconnected) {
        fatal("device request channel lost its senders");
    }
    if (!result.message) {
        return;
    }
    if (auto applied = apply_device_request(state, *result.message); !applied) {
        log::error("qzel_avbd", "Failed to send control notification: {}", applied.error().text());
    }
}

void serve_stack_tick(DaemonState& state, Instant tick) {
    if (auto periodic = state.stack->periodic(tick); !periodic) {
        log::warn("strimo", "AVDECC periodic failed: {}", periodic.error().text());
    }
    if (tick >= state.mrp_deadline) {
        state.stack->mrp_tick(tick);
        state.mrp_deadline = tick + kMrpPeriod;
    }
    state.stack->bmca_step(tick);
    // A controller's change reaches the persistor within this tick.
    state.entity_access->persist_if_dirty();
    state.device->poll_status();
}

void serve_housekeeping(DaemonState& state, Instant tick) {
    poll_interface(state, 0, tick);
    poll_interface(state, 1, tick);
    update_link_leds(state);
    std::array<InterfaceCounters, 2> interfaces{};
    for (std::size_t port = 0; port < 2; ++port) {
        const auto& stats = state.links[port].stats;
        interfaces[port] = {static_cast<std::uint32_t>(stats[net::kStatTxPackets]),
                            static_cast<std::uint32_t>(stats[net::kStatRxPackets]),
                            static_cast<std::uint32_t>(stats[net::kStatRxCrcErrors])};
    }
    state.device->poll_counters(tick, interfaces);
    // ptp4l's view of each port; when port 0 does not answer, port 1 is not asked this second.
    for (std::size_t port = 0; port < 2; ++port) {
        auto set = state.ptp_clients[port]->get_port_data_set();
        if (!set) {
            break;
        }
        state.stack->port_data_set(port, *set, tick);
    }
    if (auto sent = state.device->send_liveness(); !sent) {
        log::error("qzel_avbd", "Failed to send control notification: {}", sent.error().text());
    }
}

void serve_frames(DaemonState& state, std::size_t port) {
    auto result = state.frame_channels[port]->try_recv();
    if (result.status == RecvStatus::Disconnected) {
        fatal("frame channel lost its receive worker");
    }
    if (result.message) {
        state.stack->frame_entry(port, *result.message, SteadyClock::now());
    }
}

}  // namespace

void run_iteration(DaemonState& state) {
    auto chosen = state.selector.wait_one(*state.random);
    if (!chosen) {
        fatal("main loop wait failed: " + chosen.error());
    }
    if (!*chosen) {
        return;  // interrupted by a signal
    }
    const auto source = static_cast<Source>(**chosen);
    ++state.stats.iterations;
    ++state.stats.served.at(**chosen);
    switch (source) {
        case Source::DeviceRequests:
            serve_device_request(state);
            break;
        case Source::ControlPoll:
            state.device->service_host(take_tick(*state.control_poll_timer, state, source));
            break;
        case Source::StackTimer:
            serve_stack_tick(state, take_tick(*state.stack_timer, state, source));
            break;
        case Source::Housekeeping:
            serve_housekeeping(state, take_tick(*state.housekeeping_timer, state, source));
            break;
        case Source::FramesPort0:
            serve_frames(state, 0);
            break;
        case Source::FramesPort1:
            serve_frames(state, 1);
            break;
    }
}

void run_main_loop(DaemonState& state) {
    while (!terminate_flag.load()) {
        run_iteration(state);
    }
}

}  // namespace qz::avbd
