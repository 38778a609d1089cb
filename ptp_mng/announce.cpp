#include "ptp_mng/announce.h"

#include "ptp_mng/byte_reader.h"
#include "support/log.h"

namespace qz::ptp {
namespace {

constexpr std::size_t kPtpOffset = 14;  // after the Ethernet header
constexpr std::size_t kAnnounceBodyLength = 68;
constexpr std::uint16_t kTlvPathTrace = 0x0008;
constexpr std::uint8_t kMessageTypeAnnounce = 0xB;

}  // namespace

std::expected<std::optional<Announce>, GptpError> parse_announce(
    std::span<const std::uint8_t> frame) {
    const auto invalid_packet = std::unexpected(GptpError{GptpError::Kind::InvalidPacket});
    const auto invalid_announce = std::unexpected(GptpError{GptpError::Kind::InvalidAnnounce});
    if (frame.size() < 48 || (frame[kPtpOffset] >> 4) != 1 || (frame[15] & 0x0F) != 2) {
        return invalid_packet;
    }
    const std::size_t message_length = read_u16(frame, 16);
    if (frame.size() < message_length + kPtpOffset) {
        return invalid_packet;
    }
    if ((frame[kPtpOffset] & 0x0F) != kMessageTypeAnnounce) {
        return std::optional<Announce>{};
    }
    if (message_length < kAnnounceBodyLength) {
        return invalid_announce;
    }
    // Exactly one TLV, the path trace, fills the rest of the message; the 68 bytes of the body
    // include that TLV's type and length words.
    const std::size_t tlv_length = read_u16(frame, 80);
    if (read_u16(frame, 78) != kTlvPathTrace || tlv_length % 8 != 0 ||
        tlv_length != message_length - kAnnounceBodyLength) {
        return invalid_announce;
    }
    Announce announce;
    announce.grandmaster = read_u64(frame, 67);
    if (announce.grandmaster == 0) {
        log::debug("strimo", "GPTP Announce message with gmid zero");
        return invalid_announce;
    }
    const std::size_t count = tlv_length / 8;  // all inside: 82 + tlv_length <= frame size
    for (std::size_t i = 0; i < count; ++i) {
        announce.path_sequence.push_back(read_u64(frame, 82 + i * 8));
    }
    return announce;
}

}  // namespace qz::ptp
