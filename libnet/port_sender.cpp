#include "libnet/port_sender.h"

#include <cstdio>
#include <cstdlib>

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
    std::lock_guard lock(port->capture->mutex);
    (void)port->capture->device->inject(frame);
}

}  // namespace qz::net
