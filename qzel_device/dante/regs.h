// Register map of the Dante FPGA design.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz::device::dante {

inline constexpr std::uint32_t kCoreBase = 0x80004000;
inline constexpr std::size_t kCoreLength = 0x1000;
inline constexpr std::uint32_t kLinkBase = 0x80004014;
inline constexpr std::size_t kLinkLength = 0x8;
inline constexpr std::uint32_t kVersionBase = 0x80000000;
inline constexpr std::size_t kVersionLength = 0x4;
inline constexpr std::uint32_t kRoutingBase = 0x80005000;
inline constexpr std::size_t kRoutingLength = 0xE00;

// Core control block.
inline constexpr std::size_t kControl = 0x000;
inline constexpr std::size_t kMadiControl = 0x008;
inline constexpr std::size_t kLinkStatusInCore = 0x014;
inline constexpr std::size_t kLinkDataInCore = 0x018;
inline constexpr std::size_t kLockFlags = 0x020;
inline constexpr std::size_t kMadiRates = 0x024;
inline constexpr std::size_t kRates = 0x028;
inline constexpr std::size_t kAes3Routing = 0x02C;

// Link window (its own mapping of the two link registers).
inline constexpr std::size_t kLinkStatus = 0x0;
inline constexpr std::size_t kLinkData = 0x4;
inline constexpr std::uint32_t kRxEmpty = 1u << 8;
inline constexpr std::uint32_t kTxReady = 1u << 16;
inline constexpr std::uint32_t kTxResetDone = 1u << 17;
inline constexpr std::uint32_t kTxReset = 0x8000;

inline constexpr std::uint32_t kControlStart = 0x20100;
inline constexpr unsigned kRateShift = 16;
inline constexpr std::uint32_t kRateMask = 0xFu << kRateShift;
inline constexpr std::uint32_t kClockSourceMask = 0xF;
inline constexpr std::uint32_t kMadi56 = 1u << 0;
inline constexpr std::uint32_t kMadiSmuxOff = 1u << 1;

}  // namespace qz::device::dante
