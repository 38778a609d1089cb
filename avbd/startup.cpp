#include "avbd/startup.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "avbd/device/entity.h"
#include "support/fatal.h"
#include "support/log.h"

namespace qz::avbd {
namespace {

PeriodicTimer make_timer(Duration period) {
    auto timer = PeriodicTimer::create(period);
    if (!timer) {
        fatal("cannot create a periodic timer: " + timer.error());
    }
    return std::move(*timer);
}

void register_source(DaemonState& state, Source expected, int fd) {
    auto index = state.selector.add(fd);
    if (!index || *index != static_cast<std::size_t>(expected)) {
        fatal("cannot register a main loop receiver");
    }
}

}  // namespace

std::expected<std::unique_ptr<DaemonState>, DaemonError> start_daemon(DaemonSettings settings) {
    auto selector = Selector::create();
    if (!selector) {
        fatal("cannot create the main loop's wait set: " + selector.error());
    }
    auto state = std::make_unique<DaemonState>(std::move(settings), std::move(*selector),
                                               std::make_unique<SystemRandom>());

    // The stack's start time.
    const Instant start = SteadyClock::now();

    // eth0 first, then eth1; each open starts that port's receive worker.
    for (std::size_t port = 0; port < 2; ++port) {
        auto opened = net::open_port(state->settings.interface_names[port]);
        if (!opened) {
            return std::unexpected(DaemonError(DaemonError::Kind::NetIo, opened.error().text()));
        }
        log::info("qzel_avbd", "Opened {} with MAC address {}", opened->port.name,
                  net::to_string(opened->port.mac));
        state->ports[port] = std::move(opened->port);
        state->frame_channels[port] = std::move(opened->frames);
    }

    auto netlink = net::NetlinkRouteClient::open();
    if (!netlink) {
        return std::unexpected(DaemonError(DaemonError::Kind::Netlink, netlink.error().cause));
    }
    state->netlink = std::move(*netlink);

    state->stack = std::make_unique<strimo::Stack>(
        state->sender, *state->random, std::array{state->ports[0]->mac, state->ports[1]->mac},
        start);

    // The card's entity from the port MAC addresses. Until the OEM data area is read, the
    // defaults stand in for the OEM values and there is no logo.
    const auto oem = default_oem_values("unknown", "unknown");
    state->device_hooks = std::make_unique<CardDeviceHooks>(oem.logo);
    state->stack->attach_entity(build_card_entity(oem, state->ports[0]->mac, state->ports[1]->mac),
                                *state->device_hooks);
    log::info("qzel_avbd", "Entity {:#018x} built", state->stack->entity()->entity_id());

    const Instant now = SteadyClock::now();
    state->stack->bring_up_port(0, now);
    state->stack->bring_up_port(1, now);
    state->mrp_deadline = now + kMrpPeriod;

    // One ptp4l management client per port, each with its receiver thread.
    const auto pid = static_cast<std::uint32_t>(::getpid());
    for (std::size_t port = 0; port < 2; ++port) {
        const auto& name = state->settings.interface_names[port];
        auto client = ptp::PtpManagementClient::open_client(
            state->settings.ptp4l_socket_directory + "/ptp4l-" + name,
            ptp::client_socket_path(state->settings.ptp4l_socket_directory, name, pid), pid);
        if (!client) {
            return std::unexpected(DaemonError(DaemonError::Kind::NetIo, client.error()));
        }
        state->ptp_clients[port] = std::move(*client);
    }

    // The link LEDs are PHY registers, written through an MII request on an IPv4 socket.
    UniqueFd led_socket{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!led_socket.valid()) {
        return std::unexpected(
            DaemonError(DaemonError::Kind::NetIo, std::string("socket: ") + std::strerror(errno)));
    }
    state->mii = std::make_unique<SocketMiiWriter>(std::move(led_socket));

    state->stack_timer = make_timer(kStackPeriod);
    state->housekeeping_timer = make_timer(kHousekeepingPeriod);
    state->control_poll_timer = make_timer(kControlPollPeriod);
    auto [request_sender, request_receiver] = make_channel<DeviceRequest>(0);
    state->device_request_sender = std::move(request_sender);
    state->device_requests = std::move(request_receiver);

    register_source(*state, Source::DeviceRequests, state->device_requests->fd());
    register_source(*state, Source::ControlPoll, state->control_poll_timer->fd());
    register_source(*state, Source::StackTimer, state->stack_timer->fd());
    register_source(*state, Source::Housekeeping, state->housekeeping_timer->fd());
    register_source(*state, Source::FramesPort0, state->frame_channels[0]->fd());
    register_source(*state, Source::FramesPort1, state->frame_channels[1]->fd());

    log::info("qzel_avbd", "qzel_avbd started");
    return state;
}

}  // namespace qz::avbd
