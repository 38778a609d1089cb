#include "tools/avdecc_controller/raw_link.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "packet/avtp.h"

namespace qz::ctl {
namespace {

std::string system_error(std::string_view what) {
    return fmt::format("{}: {}", what, std::strerror(errno));
}

}  // namespace

std::expected<RawLink, std::string> RawLink::open(const std::string& interface) {
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(packet::kEthertypeAvtp));
    if (fd < 0) {
        return std::unexpected(system_error("packet socket"));
    }
    ifreq request{};
    if (interface.size() >= sizeof(request.ifr_name)) {
        ::close(fd);
        return std::unexpected(fmt::format("interface name too long: {}", interface));
    }
    std::memcpy(request.ifr_name, interface.c_str(), interface.size());
    if (::ioctl(fd, SIOCGIFINDEX, &request) < 0) {
        auto error = system_error(fmt::format("interface {}", interface));
        ::close(fd);
        return std::unexpected(error);
    }
    const int ifindex = request.ifr_ifindex;
    if (::ioctl(fd, SIOCGIFHWADDR, &request) < 0) {
        auto error = system_error("interface address");
        ::close(fd);
        return std::unexpected(error);
    }
    packet::Bytes6 mac{};
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(packet::kEthertypeAvtp);
    address.sll_ifindex = ifindex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        auto error = system_error("bind");
        ::close(fd);
        return std::unexpected(error);
    }
    // ADP and ACMP go to the AVDECC multicast address.
    packet_mreq membership{};
    membership.mr_ifindex = ifindex;
    membership.mr_type = PACKET_MR_MULTICAST;
    membership.mr_alen = 6;
    std::memcpy(membership.mr_address, packet::kAvdeccMulticast.data(), 6);
    if (::setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof(membership)) < 0) {
        auto error = system_error("multicast membership");
        ::close(fd);
        return std::unexpected(error);
    }
    return RawLink(fd, ifindex, mac);
}

RawLink::RawLink(RawLink&& other) noexcept
    : fd_(other.fd_), ifindex_(other.ifindex_), mac_(other.mac_) {
    other.fd_ = -1;
}

RawLink::~RawLink() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::expected<void, std::string> RawLink::send(std::span<const std::uint8_t> frame) {
    // Ethernet frames are at least 60 bytes before the frame check sequence.
    std::vector<std::uint8_t> padded(frame.begin(), frame.end());
    if (padded.size() < 60) {
        padded.resize(60, 0);
    }
    std::memcpy(padded.data() + 6, mac_.data(), mac_.size());
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = ifindex_;
    address.sll_halen = 6;
    std::memcpy(address.sll_addr, padded.data(), 6);
    if (::sendto(fd_, padded.data(), padded.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof(address)) < 0) {
        return std::unexpected(system_error("send"));
    }
    return {};
}

std::expected<std::optional<std::vector<std::uint8_t>>, std::string> RawLink::receive(
    std::chrono::milliseconds timeout) {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(std::max<long>(0, timeout.count())));
    if (ready < 0) {
        if (errno == EINTR) {
            return std::optional<std::vector<std::uint8_t>>{};
        }
        return std::unexpected(system_error("poll"));
    }
    if (ready == 0) {
        return std::optional<std::vector<std::uint8_t>>{};
    }
    std::vector<std::uint8_t> frame(2048);
    sockaddr_ll from{};
    socklen_t from_size = sizeof(from);
    const auto got = ::recvfrom(fd_, frame.data(), frame.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 0) {
        return std::unexpected(system_error("receive"));
    }
    // Our own transmissions come back on a packet socket; they are not answers.
    if (from.sll_pkttype == PACKET_OUTGOING) {
        return std::optional<std::vector<std::uint8_t>>{std::vector<std::uint8_t>{}};
    }
    frame.resize(static_cast<std::size_t>(got));
    return std::optional<std::vector<std::uint8_t>>{std::move(frame)};
}

}  // namespace qz::ctl
