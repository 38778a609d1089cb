// An opened Ethernet port: its address, its shared capture handle and its frame channel.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "libnet/capture_device.h"
#include "libnet/ethernet.h"
#include "libnet/net_error.h"
#include "support/channel.h"

namespace qz::net {

struct NetPort {
    std::string name;
    MacAddress mac{};
    std::shared_ptr<SharedCapture> capture;
};

struct OpenedPort {
    NetPort port;
    Receiver<Frame> frames;
};

// Looks the interface up, reads its hardware address, opens capture on it, creates the frame
// channel and starts the port's receive worker.
std::expected<OpenedPort, NetIoError> open_port(const std::string& name);

// Same, over a capture device the caller made (tests use a scripted device).
OpenedPort open_port_on(std::string name, MacAddress mac, std::unique_ptr<CaptureDevice> device);

// The hardware address of a named interface, or an error when there is no such interface or it
// has no hardware address.
std::expected<MacAddress, NetIoError> interface_mac(const std::string& name);

}  // namespace qz::net
