#include "libnet/net_port.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>

#include "libnet/pcap_capture.h"
#include "libnet/receive_worker.h"

namespace qz::net {

std::expected<MacAddress, NetIoError> interface_mac(const std::string& name) {
    if (::if_nametoindex(name.c_str()) == 0) {
        return std::unexpected(NetIoError::wrapped("No such network interface: " + name));
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return std::unexpected(
            NetIoError::wrapped(std::string("getifaddrs: ") + std::strerror(errno)));
    }
    std::expected<MacAddress, NetIoError> result =
        std::unexpected(NetIoError::wrapped("Interface " + name + " has no hardware address"));
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
            name != entry->ifa_name) {
            continue;
        }
        const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        if (link->sll_halen == 6) {
            MacAddress mac{};
            std::copy_n(link->sll_addr, mac.size(), mac.begin());
            result = mac;
        }
        break;
    }
    ::freeifaddrs(list);
    return result;
}

OpenedPort open_port_on(std::string name, MacAddress mac, std::unique_ptr<CaptureDevice> device) {
    auto capture = std::make_shared<SharedCapture>(std::move(device));
    auto [sender, receiver] = make_channel<Frame>(kFrameChannelCapacity);
    start_receive_worker(ReceiveContext{capture, std::move(sender), true, mac});
    return OpenedPort{NetPort{std::move(name), mac, std::move(capture)}, std::move(receiver)};
}

std::expected<OpenedPort, NetIoError> open_port(const std::string& name) {
    auto mac = interface_mac(name);
    if (!mac) {
        return std::unexpected(mac.error());
    }
    auto device = open_pcap(name);
    if (!device) {
        return std::unexpected(device.error());
    }
    return open_port_on(name, *mac, std::move(*device));
}

}  // namespace qz::net
