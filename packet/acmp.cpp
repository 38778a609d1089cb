#include "packet/acmp.h"

#include <algorithm>

namespace qz::packet::acmp {

std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, Status status) {
    auto message_type = get(command, avtp::kMessageType);
    if (!message_type) {
        return std::unexpected(message_type.error());
    }
    std::vector<std::uint8_t> frame(kFrameSize, 0);
    std::copy_n(command.begin(), std::min(command.size(), kFrameSize), frame.begin());
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, kAvdeccMulticast);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>((*message_type + 1U) & 0x0FU));
    (void)set(out, avtp::kStatus, static_cast<std::uint16_t>(status));
    (void)set(out, avtp::kControlDataLength, kControlDataLength);
    return frame;
}

}  // namespace qz::packet::acmp
