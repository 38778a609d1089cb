// How the protocol stack puts frames on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qz::net {

class FrameSender {
public:
    virtual ~FrameSender() = default;
    // Transmits one complete frame on the port (0 = eth0, 1 = eth1) with the port's address as
    // its source. Nothing is added or padded; a failed transmission is not reported, the
    // protocols recover through their own retries.
    virtual void send(std::size_t port_index, std::span<const std::uint8_t> frame) = 0;
};

}  // namespace qz::net
