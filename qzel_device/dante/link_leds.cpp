#include "qzel_device/dante/link_leds.h"

#include "support/log.h"

namespace qz::device::dante {

namespace {
constexpr std::string_view kTarget = "qzel_device::dante";
}

std::uint8_t link_code(std::uint16_t status) {
    if ((status & (1u << 10)) == 0) {
        return 0;
    }
    if ((status & (1u << 11)) == 0) {
        return 1;
    }
    switch ((status >> 14) & 3) {
        case 0:
            return 2;
        case 1:
            return 3;
        case 2:
            return 4;
        default:
            qz::log::warn(kTarget, "PHY returned invalid value 0b11 for link speed");
            return 1;
    }
}

std::uint16_t led_value(std::uint8_t first, std::uint8_t second) {
    const unsigned mask = (first >= 3 ? 2u : 0u) | (second >= 3 ? 1u : 0u);
    return static_cast<std::uint16_t>(0xE418 ^ ((mask << 3) & 0x1BF8));
}

void LinkLeds::update(MiiBus& mii) {
    bool changed = false;
    for (std::size_t port = 0; port < 2; ++port) {
        auto status = mii.read(kPhyOfPort[port], kPhyStatusRegister);
        if (!status) {
            qz::log::error(kTarget, "Reading ethernet link state failed: {}",
                           status.error().text());
            return;
        }
        const std::uint8_t code = link_code(*status);
        if (codes_[port] != code) {
            codes_[port] = code;
            changed = true;
        }
    }
    if (!changed) {
        return;
    }
    if (auto ok = mii.write(kLedPhy, kLedRegister, led_value(*codes_[0], *codes_[1])); !ok) {
        qz::log::error(kTarget, "Could not write LED vals to phy: {}", ok.error().text());
        codes_ = {};  // forget what was shown, so the next pass writes the LEDs again
    }
}

}  // namespace qz::device::dante
