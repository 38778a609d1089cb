// Ethernet header layout and the EtherTypes the daemon cares about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "libnet/mac_address.h"

namespace qz::net {

using Frame = std::vector<std::uint8_t>;

constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::size_t kSourceMacOffset = 6;
constexpr std::size_t kEtherTypeOffset = 12;

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t kEtherTypeMsrp = 0x22EA;
constexpr std::uint16_t kEtherTypeAvtp = 0x22F0;
constexpr std::uint16_t kEtherTypeMvrp = 0x88F5;
constexpr std::uint16_t kEtherTypePtp = 0x88F7;

inline std::optional<std::uint16_t> ether_type(std::span<const std::uint8_t> frame) {
    if (frame.size() < kEthernetHeaderLength) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(frame[kEtherTypeOffset] << 8 | frame[kEtherTypeOffset + 1]);
}

// The source address of a frame of at least header length.
inline bool source_is(std::span<const std::uint8_t> frame, const MacAddress& mac) {
    if (frame.size() < kEthernetHeaderLength) {
        return false;
    }
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (frame[kSourceMacOffset + i] != mac[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace qz::net
