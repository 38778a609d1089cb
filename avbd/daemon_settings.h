// Everything the Milan daemon takes from its surroundings. The defaults are the card's; tests
// and the developer programs pass their own.
#pragma once

#include <array>
#include <string>

#include "support/log.h"

namespace qz::avbd {

struct DaemonSettings {
    log::SyslogConfig syslog{.program_name = "qzel_avbd"};
    std::array<std::string, 2> interface_names{"eth0", "eth1"};
    std::string data_directory{"/mnt/user"};
    std::string sysfs_net_root{"/sys/class/net"};
    // Where each port's ptp4l has its management socket "ptp4l-<interface>".
    std::string ptp4l_socket_directory{"/var/run"};
};

}  // namespace qz::avbd
