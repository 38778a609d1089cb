// Network namespaces and veth links for system tests. Everything made here is removed again
// when its owner goes out of scope, also when a test fails half-way.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "libnet/mac_address.h"

namespace qz::systest {

// A named network namespace ("ip netns"), deleted with everything in it on destruction.
class Netns {
public:
    explicit Netns(std::string name);
    Netns(const Netns&) = delete;
    Netns& operator=(const Netns&) = delete;
    ~Netns();

    const std::string& name() const { return name_; }

    // "ip netns exec <name>" followed by the command.
    std::vector<std::string> exec_prefix() const { return {"ip", "netns", "exec", name_}; }

private:
    std::string name_;
};

// A unique name for this test process: namespaces of parallel test programs never collide.
std::string unique_name(const std::string& stem);

// Creates a veth pair with one end in each namespace, IPv6 off on both ends (so the kernel adds
// no traffic of its own), both ends up.
void add_veth(const Netns& a, const std::string& a_name, const Netns& b, const std::string& b_name);

void set_link(const Netns& ns, const std::string& interface, bool up);

// The interface's hardware address as seen inside the namespace.
net::MacAddress interface_mac(const Netns& ns, const std::string& interface);

// The card with its two ports and one peer namespace cabled to them: card eth0 <-> peer p0,
// card eth1 <-> peer p1. With `with_eth1` false the card has no eth1.
class CardNetwork {
public:
    explicit CardNetwork(bool with_eth1 = true);

    const Netns& card() const { return card_; }
    const Netns& peer() const { return peer_; }
    // The peer interface cabled to card port 0 or 1.
    static std::string peer_interface(std::size_t port) { return port == 0 ? "p0" : "p1"; }
    net::MacAddress card_mac(std::size_t port) const { return card_macs_.at(port); }

private:
    Netns card_;
    Netns peer_;
    std::array<net::MacAddress, 2> card_macs_{};
};

}  // namespace qz::systest
