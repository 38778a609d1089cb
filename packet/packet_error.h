// The error of the AVTP control PDU codec: a field that does not lie inside the frame.
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <string>

namespace qz::packet {

struct PacketError {
    std::size_t offset{0};     // first byte of the field
    std::size_t width{0};      // bytes the field needs
    std::size_t available{0};  // bytes the frame holds
    std::string text() const {
        return fmt::format("Frame too short: field at {} of {} bytes in a frame of {} bytes",
                           offset, width, available);
    }
};

}  // namespace qz::packet
