// Everything the Milan daemon takes from its surroundings. The defaults are the card's; tests
// and the developer programs pass their own.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "avbd/device/card_slot.h"
#include "avbd/persist/oem.h"
#include "support/log.h"

namespace qz::avbd {

struct DaemonSettings {
    log::SyslogConfig syslog{.program_name = "qzel_avbd"};
    std::array<std::string, 2> interface_names{"eth0", "eth1"};
    std::string data_directory{"/mnt/user"};
    std::string sysfs_net_root{"/sys/class/net"};
    // Where each port's ptp4l has its management socket "ptp4l-<interface>".
    std::string ptp4l_socket_directory{"/var/run"};
    // The boot flash partitions and the default entity image.
    persist::OemPaths oem;
    // Restarts the SSH service after a new key was uploaded.
    std::vector<std::string> ssh_restart_command{"/etc/init.d/S50dropbear", "restart"};
    // How the card is opened. The production program sets the hardware opener; nothing else
    // may, so no test can map the machine's memory by accident.
    CardOpener open_card;
    // Ends the process after a factory reset.
    std::function<void(int)> exit_process;
};

}  // namespace qz::avbd
