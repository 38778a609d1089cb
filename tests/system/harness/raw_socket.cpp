#include "tests/system/harness/raw_socket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tests/system/harness/in_netns.h"

namespace qz::systest {

RawSocket::RawSocket(const Netns& ns, const std::string& interface) {
    in_netns(ns.name(), [&] {
        fd_.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        ifindex_ = static_cast<int>(::if_nametoindex(interface.c_str()));
    });
    if (!fd_.valid() || ifindex_ == 0) {
        std::fprintf(stderr, "harness: no packet socket on %s\n", interface.c_str());
        std::abort();
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifindex_;
    ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    // A peer watching an enumeration sees thousands of frames; none may be lost to a full queue.
    const int size = 8 << 20;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
}

void RawSocket::drain() {
    std::uint8_t buffer[2048];
    pollfd p{fd_.get(), POLLIN, 0};
    while (::poll(&p, 1, 0) == 1) {
        (void)::recv(fd_.get(), buffer, sizeof(buffer), 0);
    }
}

bool RawSocket::send(std::span<const std::uint8_t> frame) {
    return ::send(fd_.get(), frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

std::vector<std::uint8_t> RawSocket::receive_one(int timeout_ms) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) {
        return {};
    }
    std::vector<std::uint8_t> frame(2048);
    sockaddr_ll from{};
    socklen_t length = sizeof(from);
    const auto n = ::recvfrom(fd_.get(), frame.data(), frame.size(), 0,
                              reinterpret_cast<sockaddr*>(&from), &length);
    if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) {
        return {};
    }
    frame.resize(static_cast<std::size_t>(n));
    return frame;
}

std::vector<std::uint8_t> ethernet_frame(const net::MacAddress& destination,
                                         const net::MacAddress& source, std::uint16_t ether_type,
                                         std::span<const std::uint8_t> payload,
                                         std::size_t min_length) {
    std::vector<std::uint8_t> frame(destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.push_back(static_cast<std::uint8_t>(ether_type >> 8));
    frame.push_back(static_cast<std::uint8_t>(ether_type));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.resize(std::max(frame.size(), min_length), 0);
    return frame;
}

}  // namespace qz::systest
