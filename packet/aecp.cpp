#include "packet/aecp.h"

#include <algorithm>

namespace qz::packet::aecp {

std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, std::uint8_t status, std::size_t control_data_length) {
    if (auto ok = check(command.size(), 0, kCommonEnd); !ok) {
        return std::unexpected(ok.error());
    }
    if (control_data_length > avtp::kControlDataLength.mask()) {
        return std::unexpected(
            PacketError{kControlDataOffset, control_data_length, avtp::kControlDataLength.mask()});
    }
    const auto source = get(command, eth::kSource);
    const auto message_type = get(command, avtp::kMessageType);
    if (!source || !message_type) {
        return std::unexpected(source ? message_type.error() : source.error());
    }
    std::vector<std::uint8_t> frame(frame_size(control_data_length), 0);
    std::copy_n(command.begin(), std::min(command.size(), frame.size()), frame.begin());
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, *source);
    // A response type is the command type with the low bit set.
    const auto response_type = static_cast<std::uint16_t>((*message_type | 1U) & 0x0FU);
    (void)set(out, avtp::kMessageType, response_type);
    (void)set(out, avtp::kStatus, static_cast<std::uint16_t>(status));
    (void)set(out, avtp::kControlDataLength, static_cast<std::uint16_t>(control_data_length));
    return frame;
}

}  // namespace qz::packet::aecp

namespace qz::packet::aem {

std::expected<std::size_t, PacketError> payload_length(std::span<const std::uint8_t> frame) {
    auto length = get(frame, avtp::kControlDataLength);
    if (!length) {
        return std::unexpected(length.error());
    }
    if (*length < kHeaderControlData) {
        return std::unexpected(PacketError{kControlDataOffset, kHeaderControlData, *length});
    }
    return static_cast<std::size_t>(*length - kHeaderControlData);
}

std::expected<void, PacketError> set_payload_length(std::span<std::uint8_t> frame,
                                                    std::size_t length) {
    if (length + kHeaderControlData > avtp::kControlDataLength.mask()) {
        return std::unexpected(PacketError{kControlDataOffset, length + kHeaderControlData,
                                           avtp::kControlDataLength.mask()});
    }
    return set(frame, avtp::kControlDataLength,
               static_cast<std::uint16_t>(length + kHeaderControlData));
}

std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, Status status, std::size_t payload_length) {
    return aecp::make_response(command, static_cast<std::uint8_t>(status),
                               payload_length + kHeaderControlData);
}

std::expected<std::vector<std::uint8_t>, PacketError> make_unsolicited(
    std::span<const std::uint8_t> response, std::uint64_t controller_entity_id,
    const Bytes6& controller_mac, std::uint16_t sequence_id) {
    if (auto ok = check(response.size(), 0, kPayloadOffset); !ok) {
        return std::unexpected(ok.error());
    }
    std::vector<std::uint8_t> frame(response.begin(), response.end());
    std::span<std::uint8_t> out(frame);
    (void)set(out, kUnsolicited, std::uint16_t{1});
    (void)set(out, aecp::kControllerEntityId, controller_entity_id);
    (void)set(out, eth::kDestination, controller_mac);
    (void)set(out, aecp::kSequenceId, sequence_id);
    return frame;
}

}  // namespace qz::packet::aem

namespace qz::packet::aa {

std::expected<std::vector<Tlv>, PacketError> parse_tlvs(std::span<const std::uint8_t> frame) {
    auto count = get(frame, kTlvCount);
    auto length = get(frame, avtp::kControlDataLength);
    if (!count || !length) {
        return std::unexpected(count ? length.error() : count.error());
    }
    // TLVs must lie inside both the captured bytes and the declared control data.
    const auto end = std::min(frame.size(), kControlDataOffset + std::size_t{*length});
    const auto region = frame.first(end);
    std::vector<Tlv> tlvs;
    tlvs.reserve(std::min<std::size_t>(*count, end / kTlvHeaderSize + 1));
    std::size_t offset = kTlvsOffset;
    for (std::uint16_t i = 0; i < *count; ++i) {
        const auto word = get(region, Field<std::uint16_t>{offset});
        const auto address = get(region, Field<std::uint64_t>{offset + 2});
        if (!word || !address) {
            return std::unexpected(word ? address.error() : word.error());
        }
        Tlv tlv{offset, static_cast<std::uint8_t>(*word >> 12),
                static_cast<std::uint16_t>(*word & 0x0FFFU), *address};
        if (auto ok = check(region.size(), tlv.data_offset(), tlv.length); !ok) {
            return std::unexpected(ok.error());
        }
        offset = tlv.data_offset() + tlv.length;
        tlvs.push_back(tlv);
    }
    return tlvs;
}

}  // namespace qz::packet::aa
