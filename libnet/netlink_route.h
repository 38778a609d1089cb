// A netlink route client that asks the kernel for one interface's link state and statistics.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace qz::net {

// The kernel's 64-bit link statistics, in its order (rx_packets, tx_packets, rx_bytes, ...).
constexpr std::size_t kLinkStatCount = 24;
constexpr std::size_t kStatRxPackets = 0;
constexpr std::size_t kStatTxPackets = 1;
constexpr std::size_t kStatRxCrcErrors = 12;
using LinkStats = std::array<std::uint64_t, kLinkStatCount>;

struct LinkInfo {
    std::uint8_t operstate{0};  // IF_OPER_*: 6 is up
    LinkStats stats{};
};

struct NetlinkError {
    std::string cause;
    std::string text() const { return "Netlink error: " + cause; }
};

class NetlinkRouteClient {
public:
    static std::expected<std::unique_ptr<NetlinkRouteClient>, NetlinkError> open();
    ~NetlinkRouteClient();
    NetlinkRouteClient(const NetlinkRouteClient&) = delete;
    NetlinkRouteClient& operator=(const NetlinkRouteClient&) = delete;

    // RTM_GETLINK for the named interface; each request carries the next sequence number.
    std::expected<LinkInfo, NetlinkError> get_link(const std::string& interface_name);

private:
    struct Socket;
    explicit NetlinkRouteClient(std::unique_ptr<Socket> socket);

    std::unique_ptr<Socket> socket_;
    std::uint32_t sequence_{0};
};

}  // namespace qz::net
