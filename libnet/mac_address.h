// Six-byte Ethernet hardware address.
#pragma once

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace qz::net {

using MacAddress = std::array<std::uint8_t, 6>;

inline std::string to_string(const MacAddress& mac) {
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", mac[0], mac[1], mac[2], mac[3],
                       mac[4], mac[5]);
}

}  // namespace qz::net
