// The network ports' link LEDs of the Dante card, driven through the PHY registers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "qzel_device/peripherals.h"

namespace qz::device::dante {

inline constexpr std::uint16_t kPhyOfPort[2] = {4, 3};
inline constexpr std::uint16_t kPhyStatusRegister = 17;
inline constexpr std::uint16_t kLedPhy = 28;
inline constexpr std::uint16_t kLedRegister = 26;

// 0 no link, 1 speed unresolved (or invalid), 2-4 the resolved speed.
std::uint8_t link_code(std::uint16_t phy_status);
std::uint16_t led_value(std::uint8_t first_port, std::uint8_t second_port);

class LinkLeds {
public:
    // Reads both ports' PHY status and rewrites the LED register when a port's code changed.
    void update(MiiBus& mii);
    const std::array<std::optional<std::uint8_t>, 2>& codes() const { return codes_; }

private:
    std::array<std::optional<std::uint8_t>, 2> codes_{};
};

}  // namespace qz::device::dante
