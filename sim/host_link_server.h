// The host end of the simulated card's control link on a Unix stream socket, so host-side tools
// can talk to a daemon running on the simulated card. One client at a time; every word travels
// as 4 bytes, most significant first, in both directions. Report words the card sends while no
// client is connected are dropped.
#pragma once

#include <atomic>
#include <expected>
#include <memory>
#include <string>
#include <thread>

#include "sim/fpga.h"

namespace qz::sim {

class HostLinkServer {
public:
    static std::expected<std::unique_ptr<HostLinkServer>, std::string> start(
        const std::string& socket_path, std::shared_ptr<MilanFpga> fpga);
    ~HostLinkServer();
    HostLinkServer(const HostLinkServer&) = delete;
    HostLinkServer& operator=(const HostLinkServer&) = delete;

private:
    HostLinkServer(int listen_fd, std::string path, std::shared_ptr<MilanFpga> fpga);
    void run();

    int listen_fd_;
    std::string path_;
    std::shared_ptr<MilanFpga> fpga_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qz::sim
