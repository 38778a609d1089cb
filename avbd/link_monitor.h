// Once a second: each port's link state, speed and statistics, the actions a link change needs,
// and the two link LEDs.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "libnet/netlink_route.h"
#include "support/clock.h"
#include "support/unique_fd.h"

namespace qz::avbd {

struct DaemonState;

constexpr std::uint8_t kOperStateUp = 6;

// What the daemon keeps of each port between polls. Everything starts at 0 so the first poll
// that finds a port up runs the whole link-up path.
struct PortLinkState {
    net::LinkStats stats{};
    std::uint8_t operstate{0};
    std::uint8_t speed_code{0};  // 0 other or unreadable, 1 100 Mb/s, 2 1 Gb/s, 3 10 Gb/s
};

// The kernel's operstate 1..6 as is, anything else 0.
std::uint8_t map_operstate(std::uint8_t operstate);

// The contents of a sysfs "speed" file as a speed code.
std::uint8_t speed_code_from(std::string_view contents);

// Reads "<sysfs_net_root>/<interface>/speed" once (at most 16 bytes); 0 on any error.
std::uint8_t read_speed_code(const std::string& sysfs_net_root, const std::string& interface);

// The PHY LED register value for the link bits (bit 0 port 0 up, bit 1 port 1 up).
std::uint16_t link_led_register_value(std::uint16_t link_bits);

// Writes a PHY register through the kernel's MII request on an interface.
class MiiRegisterWriter {
public:
    virtual ~MiiRegisterWriter() = default;
    virtual std::expected<void, std::string> write(const std::string& interface, std::uint16_t phy,
                                                   std::uint16_t reg, std::uint16_t value) = 0;
};

// SIOCSMIIREG on an IPv4 datagram socket.
class SocketMiiWriter final : public MiiRegisterWriter {
public:
    explicit SocketMiiWriter(UniqueFd socket) : socket_(std::move(socket)) {}
    std::expected<void, std::string> write(const std::string& interface, std::uint16_t phy,
                                           std::uint16_t reg, std::uint16_t value) override;

private:
    UniqueFd socket_;
};

// One poll of one interface with all its consequences; every failure is logged.
void poll_interface(DaemonState& state, std::size_t port, Instant now);

// Writes the LED register when the link bits changed since the last write (or attempt).
void update_link_leds(DaemonState& state);

}  // namespace qz::avbd
