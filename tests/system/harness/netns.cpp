#include "tests/system/harness/netns.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "tests/system/harness/command.h"
#include "tests/system/harness/in_netns.h"

namespace qz::systest {

Netns::Netns(std::string name) : name_(std::move(name)) {
    // A namespace of the same name left behind by a killed run would make "add" fail.
    run_command({"ip", "netns", "del", name_});
    run_checked({"ip", "netns", "add", name_});
    run_checked({"ip", "-n", name_, "link", "set", "lo", "up"});
}

Netns::~Netns() {
    run_command({"ip", "netns", "del", name_});
}

std::string unique_name(const std::string& stem) {
    static std::atomic<int> counter{0};
    return "qzt" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + stem;
}

namespace {
void disable_ipv6(const Netns& ns, const std::string& interface) {
    run_command({"ip", "netns", "exec", ns.name(), "sysctl", "-q", "-w",
                 "net.ipv6.conf." + interface + ".disable_ipv6=1"});
}
}  // namespace

void add_veth(const Netns& a, const std::string& a_name, const Netns& b,
              const std::string& b_name) {
    // Made in the first namespace, then one end moved: names like eth0 may exist outside.
    run_checked({"ip", "-n", a.name(), "link", "add", a_name, "type", "veth", "peer", "name",
                 b_name, "netns", b.name()});
    disable_ipv6(a, a_name);
    disable_ipv6(b, b_name);
    set_link(a, a_name, true);
    set_link(b, b_name, true);
}

void set_link(const Netns& ns, const std::string& interface, bool up) {
    run_checked({"ip", "-n", ns.name(), "link", "set", interface, up ? "up" : "down"});
}

net::MacAddress interface_mac(const Netns& ns, const std::string& interface) {
    net::MacAddress mac{};
    in_netns(ns.name(), [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
        if (fd >= 0 && ::ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
            std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
        }
        if (fd >= 0) {
            ::close(fd);
        }
    });
    return mac;
}

CardNetwork::CardNetwork(bool with_eth1) : card_(unique_name("card")), peer_(unique_name("peer")) {
    add_veth(card_, "eth0", peer_, "p0");
    card_macs_[0] = interface_mac(card_, "eth0");
    if (with_eth1) {
        add_veth(card_, "eth1", peer_, "p1");
        card_macs_[1] = interface_mac(card_, "eth1");
    }
}

}  // namespace qz::systest
