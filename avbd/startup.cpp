#include "avbd/startup.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "avbd/device/entity.h"
#include "avbd/device/stream_format.h"
#include "avbd/persist/files.h"
#include "avbd/persist/restore.h"
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

DaemonError device_error(const std::string& cause) {
    return DaemonError(DaemonError::Kind::Device, cause);
}

// The first IPv4 address of an interface.
std::optional<device::Ipv4> first_ipv4(const std::string& interface) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<device::Ipv4> found;
    for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET && a->ifa_name != nullptr &&
            interface == a->ifa_name) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in->sin_addr.s_addr);
            found = device::Ipv4{bytes[0], bytes[1], bytes[2], bytes[3]};
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace

std::expected<std::unique_ptr<DaemonState>, DaemonError> start_daemon(DaemonSettings settings) {
    auto selector = Selector::create();
    if (!selector) {
        fatal("cannot create the main loop's wait set: " + selector.error());
    }
    auto state = std::make_unique<DaemonState>(std::move(settings), std::move(*selector),
                                               std::make_unique<SystemRandom>());

    // The card, with its LED worker.
    if (!state->settings.open_card) {
        return std::unexpected(device_error("no card to open"));
    }
    auto opened_card = state->settings.open_card();
    if (!opened_card) {
        return std::unexpected(device_error(opened_card.error().text()));
    }
    state->card = std::make_unique<CardSlot>(std::move(opened_card->card),
                                             std::move(opened_card->keep_alive));
    state->link.emplace(std::move(opened_card->link));

    // The first status snapshot, then the stored routing and card options.
    auto first_status =
        state->card->with([](device::avb::Card& card) { return card.read_status(); });
    if (!first_status) {
        return std::unexpected(device_error(first_status.error().text()));
    }
    const auto device_settings = persist::load_device_settings(state->settings.data_directory);
    auto options = state->card->with([&](device::avb::Card& card) {
        if (auto routed = card.apply_routing(device_settings.routing); !routed) {
            log::error("qzel_avbd", "Failed to apply stored routing: {}", routed.error().text());
        }
        if (auto wordclock = card.set_wordclock_input(device_settings.wordclock_input_enable);
            !wordclock) {
            return wordclock;
        }
        return card.set_madi(device_settings.madi_56ch, device_settings.madi_smux);
    });
    if (!options) {
        return std::unexpected(device_error(options.error().text()));
    }

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

    // The factory identity; only the version record is required.
    const auto design_id =
        state->card->with([](device::avb::Card& card) { return card.design_id(); });
    auto identity = persist::read_oem_values(state->settings.oem, design_id);
    if (!identity) {
        return std::unexpected(device_error(identity.error()));
    }
    if (identity->oem_error) {
        log::info("qzel_avbd", "No OEM values could be read from flash, using defaults: {}",
                  *identity->oem_error);
    }
    state->identity = std::move(*identity);

    // The card's entity, with the stored values laid over it, and the stack around it.
    state->stack = std::make_unique<strimo::Stack>(
        state->sender, *state->random, std::array{state->ports[0]->mac, state->ports[1]->mac},
        start);
    auto [request_sender, request_receiver] = make_channel<DeviceRequest>(0);
    state->device_request_sender = std::move(request_sender);
    state->device_requests = std::move(request_receiver);
    state->entity_slot = std::make_shared<persist::EntitySlot>();
    state->storage =
        std::make_unique<persist::StackStorage>(state->settings.data_directory, state->entity_slot);
    const auto& oem = state->identity.oem;
    state->device_hooks = std::make_unique<CardDeviceHooks>(
        *state->card, *state->device_request_sender, oem.logo,
        [storage = state->storage.get()](const strimo::avdecc::entity::Entity& entity) {
            storage->persist_entity(entity);
        });
    auto entity = persist::restore_entity_values(
        build_card_entity(oem, state->ports[0]->mac, state->ports[1]->mac),
        state->settings.data_directory);
    // The hardware follows the stored sampling rate and clock source of the entity, so that
    // the card, the host and the controllers agree after a restart.
    {
        const auto& config = entity.configurations.at(entity.current_configuration);
        const auto code = rate_code_of(config.audio_units.at(0).current_sampling_rate);
        const auto& domain = config.clock_domains.at(0);
        const auto source = domain.clock_source_index < domain.clock_sources.size()
                                ? domain.clock_sources[domain.clock_source_index]
                                : 0;
        auto followed =
            state->card->with([&](device::avb::Card& card) -> std::expected<void, device::Error> {
                if (code && *code != card.rate_code()) {
                    if (auto ok = card.set_sampling_rate(*code); !ok) {
                        return ok;
                    }
                }
                return card.set_clock_source(
                    static_cast<std::uint8_t>(std::min<std::uint16_t>(source, 255)));
            });
        if (!followed) {
            log::error("qzel_avbd", "Failed to apply the stored clock settings: {}",
                       followed.error().text());
        }
    }
    state->stack->attach_entity(std::move(entity), *state->device_hooks);
    state->entity_access = std::make_unique<StackEntityAccess>(
        *state->stack, [storage = state->storage.get()](const strimo::avdecc::entity::Entity& e) {
            storage->persist_entity(e);
        });
    persist::start_entity_persistor(
        state->entity_slot,
        persist::join_path(state->settings.data_directory, persist::kEntityFile));
    log::info("qzel_avbd", "Entity {:#018x} built", state->stack->entity()->entity_id());

    DeviceEnvironment environment;
    environment.macs = {state->ports[0]->mac, state->ports[1]->mac};
    environment.version = state->identity.version;
    environment.design_id = design_id;
    environment.data_directory = state->settings.data_directory;
    environment.port_states = [links = &state->links] {
        std::array<std::pair<bool, bool>, 2> out{};
        for (std::size_t p = 0; p < 2; ++p) {
            out[p] = {(*links)[p].operstate == kOperStateUp, (*links)[p].speed_code == 2};
        }
        return out;
    };
    environment.ipv4 = [names = state->settings.interface_names](std::size_t port) {
        return first_ipv4(names.at(port));
    };
    environment.exit_process = state->settings.exit_process;
    environment.stop_persisting = [slot = state->entity_slot] { slot->close(); };
    environment.ssh.authorized_keys =
        persist::join_path(state->settings.data_directory, "ssh/authorized_keys");
    environment.ssh.restart_service = [command = state->settings.ssh_restart_command] {
        return device::run_program(command);
    };
    state->device = std::make_unique<DeviceControl>(
        *state->card, *state->link, *state->entity_access, *state->device_hooks, device_settings,
        std::move(environment), *first_status);

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
    register_source(*state, Source::DeviceRequests, state->device_requests->fd());
    register_source(*state, Source::ControlPoll, state->control_poll_timer->fd());
    register_source(*state, Source::StackTimer, state->stack_timer->fd());
    register_source(*state, Source::Housekeeping, state->housekeeping_timer->fd());
    register_source(*state, Source::FramesPort0, state->frame_channels[0]->fd());
    register_source(*state, Source::FramesPort1, state->frame_channels[1]->fd());

    // What the host first hears of the card.
    if (auto reported = state->device->initial_report(); !reported) {
        return std::unexpected(device_error(reported.error().cause));
    }

    log::info("qzel_avbd", "qzel_avbd started");
    return state;
}

}  // namespace qz::avbd
