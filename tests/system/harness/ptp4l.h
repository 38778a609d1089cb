// Real ptp4l instances (Debian's linuxptp) on the virtual network, gPTP profile over layer 2
// with software time stamping, as the card's start-up scripts run them on the card.
#pragma once

#include <memory>
#include <string>

#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/program.h"

namespace qz::systest {

struct Ptp4lOptions {
    std::string interface;
    // Lower wins the best-master choice; the card's instances use the default 248.
    int priority1{248};
    // Where the management socket goes, as the program sees the file system.
    std::string uds_address;
};

// Writes the configuration into the sandbox and starts ptp4l in the namespace. Instances for the
// card run through the sandbox, so their "/var/run/ptp4l-ethN" socket appears in the sandbox's
// run directory; peer instances get a socket path inside the sandbox directory.
std::unique_ptr<Program> start_card_ptp4l(CardSandbox& sandbox, const Netns& card,
                                          const std::string& interface, int priority1 = 248);
std::unique_ptr<Program> start_peer_ptp4l(CardSandbox& sandbox, const Netns& peer,
                                          const std::string& interface, int priority1);

// Waits until the ptp4l behind `socket_path` reports one of `states` (PTP port states, such as
// 8 UNCALIBRATED and 9 SLAVE) for its port; false after the time-out.
bool wait_for_port_state(const CardSandbox& sandbox, const std::string& socket_path,
                         const std::vector<std::uint8_t>& states, std::chrono::seconds timeout);

// Waits until a ptp4l management socket exists (ptp4l creates it once it is up).
bool wait_for_socket(const std::string& path, int timeout_ms);

// ptp4l on each of the card's ports, as the card runs them before its daemon: returns once their
// management sockets are there.
std::vector<std::unique_ptr<Program>> start_card_ptp4ls(CardSandbox& sandbox, const Netns& card,
                                                        const std::vector<std::string>& interfaces);

}  // namespace qz::systest
