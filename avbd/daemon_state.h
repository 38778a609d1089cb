// Everything the Milan daemon's main thread owns for the whole run.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "avbd/daemon_settings.h"
#include "avbd/device/card_hooks.h"
#include "avbd/device/device_ctrl.h"
#include "avbd/device/device_request.h"
#include "avbd/device/entity_access.h"
#include "avbd/link_monitor.h"
#include "avbd/loop_stats.h"
#include "avbd/persist/persistor.h"
#include "avbd/persist/stack_storage.h"
#include "libnet/net_port.h"
#include "libnet/netlink_route.h"
#include "libnet/port_sender.h"
#include "ptp_mng/ptp_client.h"
#include "strimo/stack.h"
#include "support/channel.h"
#include "support/periodic_timer.h"
#include "support/random.h"
#include "support/selector.h"

namespace qz::avbd {

constexpr Duration kControlPollPeriod = std::chrono::milliseconds(5);
constexpr Duration kStackPeriod = std::chrono::milliseconds(10);
constexpr Duration kHousekeepingPeriod = std::chrono::seconds(1);
constexpr Duration kMrpPeriod = std::chrono::milliseconds(100);

// Members are destroyed in reverse order of declaration, which is the order an orderly stop
// releases them in: the stack (after its depart-all), the timers, the ports, and last the
// receiving ends of the channels.
struct DaemonState {
    DaemonState(DaemonSettings settings, Selector selector, std::unique_ptr<RandomSource> random);
    DaemonState(const DaemonState&) = delete;
    DaemonState& operator=(const DaemonState&) = delete;
    ~DaemonState();

    DaemonSettings settings;

    std::array<std::optional<Receiver<net::Frame>>, 2> frame_channels;
    std::optional<Receiver<DeviceRequest>> device_requests;
    // Cloned into the device hooks of the stack; kept here so the channel stays connected.
    std::optional<Sender<DeviceRequest>> device_request_sender;

    std::array<std::optional<net::NetPort>, 2> ports;
    net::PortSender sender{ports};
    // How a port is opened; tests put a scripted capture behind it.
    std::function<std::expected<net::OpenedPort, net::NetIoError>(const std::string&)> open_port{
        net::open_port};

    std::unique_ptr<net::NetlinkRouteClient> netlink;
    std::array<PortLinkState, 2> links{};
    std::uint16_t link_led_bits{0};
    std::unique_ptr<MiiRegisterWriter> mii;
    std::array<std::unique_ptr<ptp::PtpManagementClient>, 2> ptp_clients;

    std::optional<PeriodicTimer> stack_timer;
    std::optional<PeriodicTimer> housekeeping_timer;
    std::optional<PeriodicTimer> control_poll_timer;
    Instant mrp_deadline{};

    Selector selector;
    std::unique_ptr<RandomSource> random;
    LoopStats stats;

    // The card behind its mutex, and the card end of the host control link (main thread only).
    std::unique_ptr<CardSlot> card;
    std::optional<device::ParCtrlIntf> link;
    persist::FlashIdentity identity;

    // The snapshot slot the persistor thread writes from, and the stack's storage operations.
    std::shared_ptr<persist::EntitySlot> entity_slot;
    std::unique_ptr<persist::StackStorage> storage;

    // The device layer the stack calls; declared before the stack so it outlives it.
    std::unique_ptr<CardDeviceHooks> device_hooks;
    std::unique_ptr<strimo::Stack> stack;
    std::unique_ptr<StackEntityAccess> entity_access;
    std::unique_ptr<DeviceControl> device;

    // Puts a newly opened port in place of the old one: the old receive worker ends when it
    // next finds its channel gone, and the main loop waits on the new channel from now on.
    void replace_port(std::size_t port, net::OpenedPort opened);

    // What the main loop and the frame entry did, at debug level.
    void log_statistics() const;
};

}  // namespace qz::avbd
