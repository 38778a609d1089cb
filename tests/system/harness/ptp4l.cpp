#include "tests/system/harness/ptp4l.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "ptp_mng/ptp_client.h"

namespace qz::systest {
namespace {

std::string write_config(const CardSandbox& sandbox, const Ptp4lOptions& options,
                         const std::string& tag) {
    const std::string path = sandbox.directory() + "/ptp4l-" + tag + ".cfg";
    std::ofstream config(path);
    config << "[global]\n"
              "gmCapable 1\n"
              "priority1 "
           << options.priority1
           << "\n"
              "priority2 248\n"
              "logAnnounceInterval 0\n"
              "logSyncInterval -3\n"
              "syncReceiptTimeout 3\n"
              "neighborPropDelayThresh 800000\n"
              "min_neighbor_prop_delay -20000000\n"
              "assume_two_step 1\n"
              "path_trace_enabled 1\n"
              "follow_up_info 1\n"
              "transportSpecific 0x1\n"
              "ptp_dst_mac 01:80:C2:00:00:0E\n"
              "network_transport L2\n"
              "delay_mechanism P2P\n"
              "time_stamping software\n"
              "tx_timestamp_timeout 100\n"
              "uds_address "
           << options.uds_address << "\n";
    return path;
}

std::vector<std::string> ptp4l_command(const std::string& config, const std::string& interface) {
    // -m: messages to standard output, which the harness keeps in the program's output file.
    return {"ptp4l", "-f", config, "-i", interface, "-m", "-l", "6"};
}

}  // namespace

std::unique_ptr<Program> start_card_ptp4l(CardSandbox& sandbox, const Netns& card,
                                          const std::string& interface, int priority1) {
    Ptp4lOptions options{interface, priority1, "/var/run/ptp4l-" + interface};
    const auto config = write_config(sandbox, options, "card-" + interface);
    return sandbox.start(card, ptp4l_command(config, interface),
                         "ptp4l-card-" + interface + ".out");
}

std::unique_ptr<Program> start_peer_ptp4l(CardSandbox& sandbox, const Netns& peer,
                                          const std::string& interface, int priority1) {
    Ptp4lOptions options{interface, priority1, sandbox.directory() + "/ptp4l-peer-" + interface};
    const auto config = write_config(sandbox, options, "peer-" + interface);
    auto command = peer.exec_prefix();
    const auto ptp4l = ptp4l_command(config, interface);
    command.insert(command.end(), ptp4l.begin(), ptp4l.end());
    return std::make_unique<Program>(command,
                                     sandbox.directory() + "/ptp4l-peer-" + interface + ".out");
}

std::vector<std::unique_ptr<Program>> start_card_ptp4ls(
    CardSandbox& sandbox, const Netns& card, const std::vector<std::string>& interfaces) {
    std::vector<std::unique_ptr<Program>> instances;
    for (const auto& interface : interfaces) {
        instances.push_back(start_card_ptp4l(sandbox, card, interface));
    }
    for (const auto& interface : interfaces) {
        wait_for_socket(sandbox.run_directory() + "/ptp4l-" + interface, 5000);
    }
    return instances;
}

bool wait_for_port_state(const CardSandbox& sandbox, const std::string& socket_path,
                         const std::vector<std::uint8_t>& states, std::chrono::seconds timeout) {
    auto client = ptp::PtpManagementClient::open_client(socket_path,
                                                        sandbox.directory() + "/harness-pmc.sock",
                                                        static_cast<std::uint32_t>(::getpid()));
    if (!client) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto set = (*client)->get_port_data_set(std::chrono::milliseconds(200));
            set && std::find(states.begin(), states.end(), set->port_state) != states.end()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

bool wait_for_socket(const std::string& path, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace qz::systest
