// Ethernet framing and the common AVTP control header shared by ADP, AECP and ACMP.
//
// Offsets count from the first byte of the Ethernet frame (destination MAC at 0).
#pragma once

#include <cstddef>
#include <cstdint>

#include "packet/field.h"

namespace qz::packet {

constexpr std::uint16_t kEthertypeAvtp = 0x22F0;
constexpr Bytes6 kAvdeccMulticast{0x91, 0xE0, 0xF0, 0x01, 0x00, 0x00};

constexpr std::uint8_t kSubtypeByteAdp = 0xFA;
constexpr std::uint8_t kSubtypeByteAecp = 0xFB;
constexpr std::uint8_t kSubtypeByteAcmp = 0xFC;
constexpr std::uint8_t kSubtypeByteMaap = 0xFE;

constexpr std::size_t kEthernetHeaderSize = 14;
// control_data_length counts the bytes after the 12-byte AVTP control header.
constexpr std::size_t kControlDataOffset = 26;

namespace eth {
inline constexpr Field<Bytes6> kDestination{0};
inline constexpr Field<Bytes6> kSource{6};
inline constexpr Field<std::uint16_t> kEthertype{12};
}  // namespace eth

namespace avtp {
// cd bit and subtype as one byte (0xFA, 0xFB, 0xFC, 0xFE).
inline constexpr Field<std::uint8_t> kSubtypeByte{14};
inline constexpr PackedField<std::uint16_t> kSv{15, 15, 1};
inline constexpr PackedField<std::uint16_t> kVersion{15, 12, 3};
inline constexpr PackedField<std::uint16_t> kMessageType{15, 8, 4};
// message_type and status as one 9-bit value: message_type in the upper 4 bits.
inline constexpr PackedField<std::uint16_t> kMessageTypeStatus{15, 3, 9};
inline constexpr PackedField<std::uint16_t> kStatus{16, 11, 5};
inline constexpr PackedField<std::uint16_t> kValidTime{16, 11, 5};
inline constexpr PackedField<std::uint16_t> kControlDataLength{16, 0, 11};
// entity_id (ADP), target_entity_id (AECP), stream_id (ACMP).
inline constexpr Field<std::uint64_t> kHeaderId{18};
}  // namespace avtp

}  // namespace qz::packet
