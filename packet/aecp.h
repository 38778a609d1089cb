// AECP PDUs: the common part, AEM, address access and the Milan vendor-unique protocol, and the
// builders of responses and unsolicited notifications.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "packet/aem_names.h"
#include "packet/avtp.h"

namespace qz::packet::aecp {

enum class MessageType : std::uint8_t {
    AEM_COMMAND = 0,
    AEM_RESPONSE = 1,
    ADDRESS_ACCESS_COMMAND = 2,
    ADDRESS_ACCESS_RESPONSE = 3,
    AVC_COMMAND = 4,
    AVC_RESPONSE = 5,
    VENDOR_UNIQUE_COMMAND = 6,
    VENDOR_UNIQUE_RESPONSE = 7,
    EXTENDED_COMMAND = 14,
    EXTENDED_RESPONSE = 15,
};

inline constexpr Field<std::uint64_t> kTargetEntityId{18};
inline constexpr Field<std::uint64_t> kControllerEntityId{26};
inline constexpr Field<std::uint16_t> kSequenceId{34};
// controller_entity_id and sequence_id precede every payload inside control_data_length.
constexpr std::size_t kCommonControlData = 10;
constexpr std::size_t kCommonEnd = 36;

// Builds the answer to a command: a copy of the command, sent back to its source, with the
// response message type (command + 1), the status and control_data_length; the frame is cut or
// zero-extended to 26 + control_data_length bytes. Fails when the command is shorter than its
// common part or the length does not fit the 11-bit field.
std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, std::uint8_t status, std::size_t control_data_length);

// The common part's frame length for a given control_data_length.
constexpr std::size_t frame_size(std::size_t control_data_length) {
    return kControlDataOffset + control_data_length;
}

}  // namespace qz::packet::aecp

namespace qz::packet::aem {

inline constexpr PackedField<std::uint16_t> kUnsolicited{36, 15, 1};
inline constexpr PackedField<std::uint16_t> kCommandType{36, 0, 15};
constexpr std::size_t kPayloadOffset = 38;
// controller_entity_id, sequence_id and command_type precede the payload.
constexpr std::size_t kHeaderControlData = 12;

std::expected<std::size_t, PacketError> payload_length(std::span<const std::uint8_t> frame);
std::expected<void, PacketError> set_payload_length(std::span<std::uint8_t> frame,
                                                    std::size_t length);

// An AEM_RESPONSE to an AEM command with a payload of `payload_length` bytes.
std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, Status status, std::size_t payload_length);

// An unsolicited notification for one subscriber: a copy of the response with the u bit set and
// the subscriber's controller ID, MAC address and own sequence counter.
std::expected<std::vector<std::uint8_t>, PacketError> make_unsolicited(
    std::span<const std::uint8_t> response, std::uint64_t controller_entity_id,
    const Bytes6& controller_mac, std::uint16_t sequence_id);

}  // namespace qz::packet::aem

namespace qz::packet::aa {

enum class Mode : std::uint8_t { READ = 0, WRITE = 1 };
enum class Status : std::uint8_t {
    SUCCESS = 0,
    NOT_IMPLEMENTED = 1,
    ADDRESS_INVALID = 4,
    UNSUPPORTED = 7,
};

inline constexpr Field<std::uint16_t> kTlvCount{36};
constexpr std::size_t kTlvsOffset = 38;
constexpr std::size_t kTlvHeaderSize = 10;

// One TLV as it lies in the frame; its memory_data are `length` bytes from data_offset.
struct Tlv {
    std::size_t offset{0};
    std::uint8_t mode{0};
    std::uint16_t length{0};
    std::uint64_t address{0};
    std::size_t data_offset() const { return offset + kTlvHeaderSize; }
};

// The tlv_count TLVs of an address access PDU. Each needs its header and memory_data inside the
// frame and inside control_data_length; otherwise the PDU is defective.
std::expected<std::vector<Tlv>, PacketError> parse_tlvs(std::span<const std::uint8_t> frame);

}  // namespace qz::packet::aa

namespace qz::packet::milan {

constexpr Bytes6 kProtocolId{0x00, 0x1B, 0xC5, 0x0A, 0xC1, 0x00};
constexpr std::uint16_t kGetMilanInfo = 0x0000;
constexpr std::uint32_t kProtocolVersion = 1;
constexpr std::size_t kMilanInfoFrameSize = 58;
constexpr std::uint16_t kMilanInfoControlDataLength = 32;

inline constexpr Field<Bytes6> kProtocolIdField{36};
inline constexpr PackedField<std::uint16_t> kR{42, 15, 1};
inline constexpr PackedField<std::uint16_t> kCommandType{42, 0, 15};
inline constexpr Field<std::uint32_t> kProtocolVersionField{46};
inline constexpr Field<std::uint32_t> kFeaturesFlags{50};
inline constexpr Field<std::uint32_t> kCertificationVersion{54};

}  // namespace qz::packet::milan
