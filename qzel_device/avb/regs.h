// Register map of the Milan (AVB) FPGA design.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz::device::avb {

inline constexpr std::uint32_t kCoreBase = 0x40006000;
inline constexpr std::size_t kCoreLength = 0x2000;
inline constexpr std::uint32_t kCounterBase = 0x4000e000;
inline constexpr std::size_t kCounterLength = 0x2000;
inline constexpr std::uint32_t kRoutingBase = 0x40000000;
inline constexpr std::size_t kRoutingLength = 0x4000;

// Core control block.
inline constexpr std::size_t kClockControl = 0x000;  // write: clock control word
inline constexpr std::size_t kDesignId = 0x000;      // read: design identification
inline constexpr std::size_t kStatus = 0x080;        // read: bit 17 Control3 busy
inline constexpr std::size_t kTxAnnounce = 0x080;    // write: control link burst announce
inline constexpr std::size_t kControl3 = 0x100;      // write: indirect stream configuration
inline constexpr std::size_t kLockStatus = 0x100;    // read: lock source, TX bank flag
inline constexpr std::size_t kLinkData = 0x180;      // write: TX word; 64-bit read: receive pair
inline constexpr std::size_t kFixedInputs = 0x400;   // read: six rate codes and lock flags
inline constexpr std::size_t kEnableMasks[4] = {0x600, 0x610, 0x620, 0x630};
inline constexpr std::size_t kOutputSuffix[2] = {0x6E0, 0x6F0};
inline constexpr std::size_t kPresentationOffset = 0x700;  // + slot * 4
inline constexpr std::size_t kInputSuffix = 0x800;         // + port * 0x100 + slot * 4
inline constexpr std::size_t kSlotRates = 0x800;           // twelve words at 16-byte steps
inline constexpr std::size_t kSlotLocks = 0x8C0;           // four words at 16-byte steps

// Clock control word.
inline constexpr std::uint32_t kClockStart = 0xBFCA;
inline constexpr std::uint32_t kRateMask = 0x7;
inline constexpr std::uint32_t kMadi56Off = 1u << 3;
inline constexpr std::uint32_t kMadiSmux = 1u << 4;
inline constexpr unsigned kClockSelectShift = 6;
inline constexpr std::uint32_t kClockSelectMask = 0xFFu << kClockSelectShift;
inline constexpr std::uint32_t kCounterClear = 1u << 19;

// Control3 commands.
inline constexpr std::uint32_t kControl3Reset = 0x80000000;
inline constexpr std::uint32_t kControl3Strobe = 1u << 17;
inline constexpr std::uint32_t kControl3ChannelBase = 1u << 6;
inline constexpr std::uint32_t kControl3Input = 1u << 7;
inline constexpr std::uint32_t kControl3Crf = 1u << 13;
inline constexpr std::uint32_t kControl3Aaf = 1u << 14;

inline constexpr std::uint32_t kTxBankFlag = 1u << 11;

}  // namespace qz::device::avb
