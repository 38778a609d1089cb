#include "packet/adp.h"

namespace qz::packet::adp {

std::vector<std::uint8_t> make_frame(MessageType type) {
    std::vector<std::uint8_t> frame(kFrameSize, 0);
    std::span<std::uint8_t> out(frame);
    // The buffer has the full size, so none of these writes can fail.
    (void)set(out, eth::kDestination, kAvdeccMulticast);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAdp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(type));
    (void)set(out, avtp::kControlDataLength, kControlDataLength);
    return frame;
}

}  // namespace qz::packet::adp
