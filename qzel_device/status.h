// Card status records as the control loops poll them.
#pragma once

#include <array>
#include <cstdint>

namespace qz::device {

// Detected rate code (0-6, 7 = none) and lock flag of one clock input or stream slot.
struct RateLock {
    std::uint8_t rate{7};
    std::uint8_t locked{0};
    friend bool operator==(const RateLock&, const RateLock&) = default;
};

// Status input flags: bit 0 = input A active, bit 8 = input B active.
inline constexpr std::uint16_t kStatusInputA = 0x1;
inline constexpr std::uint16_t kStatusInputB = 0x100;

namespace avb {

inline constexpr std::uint8_t kRefInvalid = 254;
inline constexpr std::uint8_t kRefInternal = 255;

struct CardStatus {
    std::uint16_t flags{0};
    std::array<std::array<RateLock, 64>, 2> streams{};  // [port][slot]
    std::array<RateLock, 6> inputs{};                   // Word Clock, MADI A1, A2, B1, B2, AES/EBU
    std::uint8_t ref_kind{kRefInvalid};
    std::uint16_t ref_number{0};
    friend bool operator==(const CardStatus&, const CardStatus&) = default;
};

}  // namespace avb

namespace dante {

struct CardStatus {
    std::uint16_t flags{0};
    std::array<RateLock, 6> inputs{};  // Word Clock, MADI A1, A2, B1, B2, AES/EBU
    std::uint8_t clock_in_effect{255};
    friend bool operator==(const CardStatus&, const CardStatus&) = default;
};

}  // namespace dante
}  // namespace qz::device
