// qzel_avbd_sim: the Milan daemon's own code on the simulated card, for development machines.
// The production daemon takes no options; this developer program takes the places the card
// would provide:
//
//   qzel_avbd_sim --data-dir DIR --oem-flash FILE --serial-flash FILE --host-socket PATH
//                 [--logo FILE] [--interfaces ETH0,ETH1] [--ptp4l-dir DIR]
//                 [--ssh-restart COMMAND]
//
// The host end of the control link is served on the Unix socket --host-socket (see
// qzel_host_ctl).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "avbd/daemon_settings.h"
#include "avbd/run_daemon.h"
#include "avbd/startup.h"
#include "qzel_device/avb/regs.h"
#include "sim/card.h"
#include "sim/host_link_server.h"
#include "support/log.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: qzel_avbd_sim --data-dir DIR --oem-flash FILE --serial-flash FILE "
                 "--host-socket PATH [--logo FILE] [--interfaces ETH0,ETH1] [--ptp4l-dir DIR] "
                 "[--ssh-restart COMMAND]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qz;
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) {
        options[argv[i]] = argv[i + 1];
    }
    if (argc % 2 == 0 || !options.contains("--data-dir") || !options.contains("--oem-flash") ||
        !options.contains("--serial-flash") || !options.contains("--host-socket")) {
        return usage();
    }

    avbd::DaemonSettings settings;
    settings.data_directory = options["--data-dir"];
    settings.oem.oem_flash = options["--oem-flash"];
    settings.oem.serial_flash = options["--serial-flash"];
    settings.oem.default_logo = options.contains("--logo") ? options["--logo"] : "";
    if (options.contains("--interfaces")) {
        const auto& names = options["--interfaces"];
        const auto comma = names.find(',');
        if (comma == std::string::npos) {
            return usage();
        }
        settings.interface_names = {names.substr(0, comma), names.substr(comma + 1)};
    }
    if (options.contains("--ptp4l-dir")) {
        settings.ptp4l_socket_directory = options["--ptp4l-dir"];
    }
    // Without a command of its own the developer machine's SSH service is left alone.
    settings.ssh_restart_command = {"/bin/true"};
    if (options.contains("--ssh-restart")) {
        settings.ssh_restart_command = {"/bin/sh", "-c", options["--ssh-restart"]};
    }
    settings.exit_process = [](int status) { std::_Exit(status); };

    // The simulated card, and the host link on the socket for as long as the daemon runs.
    std::unique_ptr<sim::HostLinkServer> host_link;
    const std::string socket_path = options["--host-socket"];
    settings.open_card = [&host_link,
                          socket_path]() -> std::expected<avbd::OpenedCard, device::Error> {
        auto simulated = sim::SimMilanCard::open();
        if (!simulated) {
            return std::unexpected(simulated.error());
        }
        std::shared_ptr<sim::SimMilanCard> owner = std::move(*simulated);
        auto server = sim::HostLinkServer::start(socket_path, owner->fpga);
        if (!server) {
            return std::unexpected(device::Error{device::ErrorKind::Io, server.error()});
        }
        host_link = std::move(*server);
        auto link = std::make_unique<device::AvbLinkPort>(
            device::RegisterWindow(owner->fpga->core(), device::avb::kCoreBase), owner->sleeper);
        auto card = std::move(owner->card);
        return avbd::OpenedCard{std::move(card), std::move(link), owner};
    };

    return avbd::run_daemon(settings);
}
