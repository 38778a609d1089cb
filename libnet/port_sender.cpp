#include "libnet/port_sender.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "libnet/ethernet.h"

namespace qz::net {

void PortSender::send(std::size_t port_index, std::span<const std::uint8_t> frame) {
    if (port_index > 1) {
        std::fprintf(stderr, "Sending on invalid network interface\n");
        std::abort();
    }
    const auto& port = ports_[port_index];
    if (!port || !port->capture) {
        return;
    }
    // The protocols build frames from copies of what they received (responses) or from scratch
    // (advertisements); the port puts its own address in as the source, so no frame leaves
    // with a controller's address or none at all, and this port's echo is recognised as its own.
    std::vector<std::uint8_t> out(frame.begin(), frame.end());
    if (out.size() >= kEthernetHeaderLength) {
        std::copy(port->mac.begin(), port->mac.end(), out.begin() + kSourceMacOffset);
    }
    std::lock_guard lock(port->capture->mutex);
    (void)port->capture->device->inject(out);
}

}  // namespace qz::net
