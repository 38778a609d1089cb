// The device control loop: keeps the host's view (the parallel control interface), the AVDECC
// entity and the card hardware in step. Runs on the main thread only.
#pragma once

#include <array>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "avbd/device/card_slot.h"
#include "avbd/device/device_error.h"
#include "avbd/device/device_request.h"
#include "avbd/device/entity_access.h"
#include "avbd/persist/device_settings.h"
#include "libnet/mac_address.h"
#include "qzel_device/par_ctrl_intf.h"
#include "qzel_device/reports.h"
#include "qzel_device/ssh_key.h"
#include "strimo/avdecc/device_hooks.h"

namespace qz::avbd {

struct DaemonState;

// What the loop takes from the rest of the daemon.
struct DeviceEnvironment {
    std::array<net::MacAddress, 2> macs{};
    device::VersionRecord version{};
    std::uint32_t design_id{0};
    std::string data_directory;
    // Per port: operational state up, and speed code 2 (1 Gb/s).
    std::function<std::array<std::pair<bool, bool>, 2>()> port_states;
    // The first IPv4 address of a port's interface.
    std::function<std::optional<device::Ipv4>(std::size_t port)> ipv4;
    // Ends the process (factory reset); the supervisor starts it again.
    std::function<void(int status)> exit_process;
    // Stops the writers of the stored files before a factory reset deletes them.
    std::function<void()> stop_persisting;
    device::SshKeyConfig ssh;
};

// The frame counters of one AVB_INTERFACE, from the port's link statistics (low 32 bits).
struct InterfaceCounters {
    std::uint32_t frames_tx{0};
    std::uint32_t frames_rx{0};
    std::uint32_t rx_crc_error{0};
    friend bool operator==(const InterfaceCounters&, const InterfaceCounters&) = default;
};

class DeviceControl {
public:
    DeviceControl(CardSlot& card, device::ParCtrlIntf& link, EntityAccess& entity,
                  strimo::avdecc::DeviceHooks& hooks, persist::DeviceSettings settings,
                  DeviceEnvironment environment, device::avb::CardStatus initial_status);

    // One request of the device-request channel.
    std::expected<void, DeviceError> apply(const DeviceRequest& request);
    // Reads and serves every pending host word; failures are logged per word.
    void service_host(Instant now);
    // The 10 ms status poll with change-only reports.
    void poll_status();
    // The 1 s counter poll: the card's counters, then a GET_COUNTERS notification for every
    // descriptor whose counters moved (AVB interfaces, the clock domain, stream inputs, stream
    // outputs, in that order).
    void poll_counters(Instant now, const std::array<InterfaceCounters, 2>& interfaces);
    std::expected<void, DeviceError> send_liveness();
    // The state of the card as the host first hears it, in start-up order.
    std::expected<void, DeviceError> initial_report();
    // The host status word (link and identify), after a link change for one.
    std::expected<void, DeviceError> report_status_word();

    bool identify_on() const { return identify_on_; }
    const persist::DeviceSettings& settings() const { return settings_; }
    const device::avb::CardStatus& status_snapshot() const { return status_; }

    // One host word, as the service would handle it.
    std::expected<void, DeviceError> handle_word(const device::ControlWord& word, Instant now);

private:
    std::expected<void, DeviceError> report_rate();
    std::expected<void, DeviceError> report_clock_source();
    std::expected<void, DeviceError> report_clock_source_index(std::uint16_t index);
    std::expected<void, DeviceError> report_ref_clock(const device::avb::CardStatus& status);
    std::expected<void, DeviceError> report_clock_states(std::uint8_t first, std::uint8_t last,
                                                         const device::avb::CardStatus& status);
    std::expected<void, DeviceError> report_settings_word();
    std::expected<void, DeviceError> report_static_info();
    std::expected<void, DeviceError> report_routing(std::uint8_t index);
    std::expected<void, DeviceError> report_ip_config();
    std::expected<void, DeviceError> report_stream_formats(bool input, std::uint8_t index);
    std::expected<void, DeviceError> apply_routing();
    std::expected<void, DeviceError> write_card_options();

    std::expected<void, DeviceError> host_set_rate(std::uint16_t value, Instant now);
    std::expected<void, DeviceError> host_set_clock(std::uint16_t value, Instant now);
    std::expected<void, DeviceError> host_set_settings(std::uint16_t value, Instant now);
    std::expected<void, DeviceError> host_set_routing(std::uint8_t index, std::uint16_t value);
    std::expected<void, DeviceError> host_internal_command(std::uint8_t index, Instant now);
    void host_factory_reset(const device::ControlWord& word);
    void set_identify_from_host(bool on, Instant now);

    CardSlot& card_;
    device::ParCtrlIntf& link_;
    EntityAccess& entity_;
    strimo::avdecc::DeviceHooks& hooks_;
    persist::DeviceSettings settings_;
    DeviceEnvironment env_;
    device::avb::CardStatus status_;
    bool identify_on_{false};
    std::vector<AudioMapping> listener_;
    std::vector<AudioMapping> talker_;
    device::SshKeyUpload ssh_;
    std::optional<device::avb::StreamCounters> counters_;
    std::optional<std::array<InterfaceCounters, 2>> interface_counters_;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> clock_counters_;  // locked, unlocked
};

// The seam the main loop calls for a device request.
std::expected<void, DeviceError> apply_device_request(DaemonState& state,
                                                      const DeviceRequest& request);

}  // namespace qz::avbd
