// Big-endian reads at offsets already checked against the buffer's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qz::ptp {

inline std::uint64_t read_be(std::span<const std::uint8_t> bytes, std::size_t offset,
                             std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8 | bytes[offset + i];
    }
    return value;
}

inline std::uint16_t read_u16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(read_be(bytes, offset, 2));
}

inline std::uint64_t read_u64(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return read_be(bytes, offset, 8);
}

}  // namespace qz::ptp
