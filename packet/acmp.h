// ACMP connection management PDUs.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "packet/avtp.h"

namespace qz::packet::acmp {

constexpr std::uint16_t kControlDataLength = 44;
constexpr std::size_t kFrameSize = kControlDataOffset + kControlDataLength;

enum class MessageType : std::uint8_t {
    CONNECT_TX_COMMAND = 0,  // Milan PROBE_TX_COMMAND
    CONNECT_TX_RESPONSE = 1,
    DISCONNECT_TX_COMMAND = 2,
    DISCONNECT_TX_RESPONSE = 3,
    GET_TX_STATE_COMMAND = 4,
    GET_TX_STATE_RESPONSE = 5,
    CONNECT_RX_COMMAND = 6,  // Milan BIND_RX_COMMAND
    CONNECT_RX_RESPONSE = 7,
    DISCONNECT_RX_COMMAND = 8,  // Milan UNBIND_RX_COMMAND
    DISCONNECT_RX_RESPONSE = 9,
    GET_RX_STATE_COMMAND = 10,
    GET_RX_STATE_RESPONSE = 11,
    GET_TX_CONNECTION_COMMAND = 12,
    GET_TX_CONNECTION_RESPONSE = 13,
};

enum class Status : std::uint8_t {
    SUCCESS = 0,
    LISTENER_UNKNOWN_ID = 1,
    TALKER_UNKNOWN_ID = 2,
    TALKER_DEST_MAC_FAIL = 3,
    TALKER_NO_STREAM_INDEX = 4,
    TALKER_NO_BANDWIDTH = 5,
    TALKER_EXCLUSIVE = 6,
    LISTENER_TALKER_TIMEOUT = 7,
    LISTENER_EXCLUSIVE = 8,
    STATE_UNAVAILABLE = 9,
    NOT_CONNECTED = 10,
    NO_SUCH_CONNECTION = 11,
    COULD_NOT_SEND_MESSAGE = 12,
    TALKER_MISBEHAVING = 13,
    LISTENER_MISBEHAVING = 14,
    CONTROLLER_NOT_AUTHORIZED = 16,
    INCOMPATIBLE_REQUEST = 17,
    NOT_SUPPORTED = 31,
};

namespace flags {
constexpr std::uint16_t CLASS_B = 0x0001;
constexpr std::uint16_t FAST_CONNECT = 0x0002;
constexpr std::uint16_t SAVED_STATE = 0x0004;
constexpr std::uint16_t STREAMING_WAIT = 0x0008;
constexpr std::uint16_t SUPPORTS_ENCRYPTED = 0x0010;
constexpr std::uint16_t ENCRYPTED_PDU = 0x0020;
constexpr std::uint16_t REGISTERING_FAILED = 0x0040;
}  // namespace flags

inline constexpr Field<std::uint64_t> kStreamId{18};
inline constexpr Field<std::uint64_t> kControllerEntityId{26};
inline constexpr Field<std::uint64_t> kTalkerEntityId{34};
inline constexpr Field<std::uint64_t> kListenerEntityId{42};
inline constexpr Field<std::uint16_t> kTalkerUniqueId{50};
inline constexpr Field<std::uint16_t> kListenerUniqueId{52};
inline constexpr Field<Bytes6> kStreamDestMac{54};
inline constexpr Field<std::uint16_t> kConnectionCount{60};
inline constexpr Field<std::uint16_t> kSequenceId{62};
inline constexpr Field<std::uint16_t> kFlags{64};
inline constexpr Field<std::uint16_t> kStreamVlanId{66};

// The answer to an ACMP command: a copy (cut or zero-extended to the ACMP frame size) with the
// response message type, the status, and the AVDECC multicast address as destination.
std::expected<std::vector<std::uint8_t>, PacketError> make_response(
    std::span<const std::uint8_t> command, Status status);

}  // namespace qz::packet::acmp
