// Start-up programming of the clock PLL and the headphone DAC.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>

#include "qzel_device/error.h"
#include "qzel_device/peripherals.h"

namespace qz::device {

inline constexpr std::uint8_t kPllAddress = 0x4F;
inline constexpr std::uint8_t kDacAddress = 0x10;

// Any failed transfer ends the sequence with a `Pll` error.
std::expected<void, Error> program_pll(I2cBus& bus);

// `mute_line` drives the DAC's mute GPIO (line 23) in the middle of the sequence. Any failed
// transfer ends the sequence with a `HeadphoneDac` error.
std::expected<void, Error> init_headphone_dac(
    I2cBus& bus, const std::function<std::expected<void, Error>(bool)>& mute_line);

}  // namespace qz::device
