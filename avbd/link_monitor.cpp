#include "avbd/link_monitor.h"

#include <fcntl.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "avbd/daemon_state.h"
#include "support/log.h"

namespace qz::avbd {
namespace {

constexpr std::uint16_t kLedPhyAddress = 0x1C;
constexpr std::uint16_t kLedRegister = 0x1A;

}  // namespace

std::uint8_t map_operstate(std::uint8_t operstate) {
    return operstate >= 1 && operstate <= 6 ? operstate : 0;
}

std::uint8_t speed_code_from(std::string_view contents) {
    if (contents == "100\n") {
        return 1;
    }
    if (contents == "1000\n") {
        return 2;
    }
    if (contents == "10000\n") {
        return 3;
    }
    return 0;
}

std::uint8_t read_speed_code(const std::string& sysfs_net_root, const std::string& interface) {
    const std::string path = sysfs_net_root + "/" + interface + "/speed";
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd.valid()) {
        return 0;
    }
    char buffer[16];
    const auto n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n <= 0) {
        return 0;
    }
    return speed_code_from(std::string_view(buffer, static_cast<std::size_t>(n)));
}

std::uint16_t link_led_register_value(std::uint16_t link_bits) {
    std::uint16_t value = 0xE2FF;
    if ((link_bits & 0x1) != 0) {
        value &= static_cast<std::uint16_t>(~(1U << 3));
    }
    if ((link_bits & 0x2) != 0) {
        value &= static_cast<std::uint16_t>(~(1U << 4));
    }
    return value;
}

std::expected<void, std::string> SocketMiiWriter::write(const std::string& interface,
                                                        std::uint16_t phy, std::uint16_t reg,
                                                        std::uint16_t value) {
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    auto* mii = reinterpret_cast<mii_ioctl_data*>(&request.ifr_ifru);
    mii->phy_id = phy;
    mii->reg_num = reg;
    mii->val_in = value;
    if (::ioctl(socket_.get(), SIOCSMIIREG, &request) != 0) {
        return std::unexpected(std::string(std::strerror(errno)));
    }
    return {};
}

void poll_interface(DaemonState& state, std::size_t port, Instant now) {
    const std::string& name = state.settings.interface_names.at(port);
    auto info = state.netlink->get_link(name);
    if (!info) {
        log::error("qzel_avbd", "Failed to obtain interface info for {}: {}", name,
                   info.error().text());
        return;
    }
    auto& link = state.links.at(port);
    const std::uint8_t operstate = map_operstate(info->operstate);
    const std::uint8_t speed = read_speed_code(state.settings.sysfs_net_root, name);

    if (operstate == kOperStateUp && link.operstate != kOperStateUp) {
        auto opened = state.open_port(name);
        if (!opened) {
            log::error("qzel_avbd", "Failed to re-open interface {}: {}", name,
                       opened.error().text());
            return;
        }
        state.replace_port(port, std::move(*opened));
    }

    const bool changed = operstate != link.operstate || speed != link.speed_code;
    link.stats = info->stats;
    link.operstate = operstate;
    link.speed_code = speed;
    if (!changed) {
        return;
    }

    const bool up = operstate == kOperStateUp;
    // The card's link-state word; a failed write is tried again with the next change.
    if (state.card) {
        state.card->with([&](device::avb::Card& card) {
            return card.set_link_state(static_cast<std::uint8_t>(port), speed > 1, up);
        });
    }
    if (up != state.stack->link_flag(port)) {
        if (up) {
            log::debug("qzel_avbd", "Link of {} is up", name);
            state.stack->link_up(port, now);
        } else {
            state.stack->link_down(port, now);
        }
    }
    // The host's status word carries both ports' state and speed; a failed send is not retried.
    if (state.device) {
        (void)state.device->report_status_word();
    }
}

void update_link_leds(DaemonState& state) {
    std::uint16_t bits = 0;
    for (std::size_t port = 0; port < 2; ++port) {
        if (state.links[port].operstate == kOperStateUp) {
            bits |= static_cast<std::uint16_t>(1U << port);
        }
    }
    if (bits == state.link_led_bits) {
        return;
    }
    // Both LEDs hang off the PHY reached through eth0.
    const auto written = state.mii->write(state.settings.interface_names[0], kLedPhyAddress,
                                          kLedRegister, link_led_register_value(bits));
    if (!written) {
        log::error("qzel_avbd", "Failed to update network link LEDs: {}", written.error());
    }
    // Not retried: the next attempt comes with the next change.
    state.link_led_bits = bits;
}

}  // namespace qz::avbd
