#include "qzel_device/clock_chips.h"

#include <array>

namespace qz::device {
namespace {

// Register writes to one device, keeping the values written so later steps can modify them.
class ShadowedRegisters {
public:
    ShadowedRegisters(I2cBus& bus, std::uint8_t address) : bus_(bus), address_(address) {}

    std::expected<void, Error> write(std::uint8_t reg, std::uint8_t value) {
        const std::array<std::uint8_t, 2> bytes{reg, value};
        auto ok = bus_.write(address_, bytes);
        if (ok) {
            shadow_[reg] = value;
        }
        return ok;
    }
    std::uint8_t shadow(std::uint8_t reg) const { return shadow_[reg]; }

private:
    I2cBus& bus_;
    std::uint8_t address_;
    std::array<std::uint8_t, 256> shadow_{};
};

}  // namespace

std::expected<void, Error> program_pll(I2cBus& bus) {
    ShadowedRegisters pll(bus, kPllAddress);
    auto run = [&]() -> std::expected<void, Error> {
        for (std::uint8_t reg : {0x02, 0x03, 0x05}) {
            if (auto ok = pll.write(reg, 0x00); !ok) {
                return ok;
            }
        }
        // Register 0x06 with auto-increment, then the 32-bit ratio 0x00001000, MSB first.
        const std::array<std::uint8_t, 5> ratio{0x86, 0x00, 0x00, 0x10, 0x00};
        if (auto ok = bus.write(kPllAddress, ratio); !ok) {
            return ok;
        }
        for (std::uint8_t reg : {0x16, 0x17, 0x1E}) {
            if (auto ok = pll.write(reg, 0x00); !ok) {
                return ok;
            }
        }
        struct Change {
            std::uint8_t reg;
            std::uint8_t keep;
            std::uint8_t set;
        };
        for (const Change& c :
             {Change{0x03, 0xF9, 0x04}, Change{0x16, 0xE7, 0x08}, Change{0x17, 0xFF, 0x10},
              Change{0x1E, 0xFF, 0x70}, Change{0x03, 0xFF, 0x01}, Change{0x05, 0xFF, 0x01}}) {
            const auto value = static_cast<std::uint8_t>((pll.shadow(c.reg) & c.keep) | c.set);
            if (auto ok = pll.write(c.reg, value); !ok) {
                return ok;
            }
        }
        return {};
    };
    if (auto ok = run(); !ok) {
        return std::unexpected(Error::wrap(ErrorKind::Pll, ok.error()));
    }
    return {};
}

std::expected<void, Error> init_headphone_dac(
    I2cBus& bus, const std::function<std::expected<void, Error>(bool)>& mute_line) {
    // Read the register, keep the bits outside `mask`, set `bits`, write it back.
    auto modify = [&](std::uint8_t reg, std::uint8_t mask,
                      std::uint8_t bits) -> std::expected<void, Error> {
        auto current = bus.read_register(kDacAddress, reg);
        if (!current) {
            return std::unexpected(current.error());
        }
        const auto value = static_cast<std::uint8_t>((*current & ~mask) | (bits & mask));
        const std::array<std::uint8_t, 2> bytes{reg, value};
        return bus.write(kDacAddress, bytes);
    };
    auto write = [&](std::uint8_t reg, std::uint8_t value) {
        const std::array<std::uint8_t, 2> bytes{reg, value};
        return bus.write(kDacAddress, bytes);
    };
    auto run = [&]() -> std::expected<void, Error> {
        struct Step {
            std::uint8_t reg;
            std::uint8_t mask;
            std::uint8_t bits;
        };
        const Step before_volume[] = {
            {0x0B, 0xC0, 0x40},  // bits 7-6 = 01
            {0x01, 0x01, 0x01},  // mute
            {0x00, 0x01, 0x00}, {0x00, 0x80, 0x80}, {0x01, 0x18, 0x00},
            {0x05, 0x02, 0x00}, {0x00, 0x01, 0x01}, {0x00, 0x01, 0x00},
            {0x00, 0x0E, 0x0C},  // bits 3-1 = 110
            {0x0A, 0xF0, 0x00}, {0x0B, 0x10, 0x00}, {0x00, 0x01, 0x01},
            {0x05, 0x80, 0x80},  // left channel
            {0x05, 0x40, 0x40},  // right channel
            {0x02, 0x0A, 0x02},  // bit 3 = 0, bit 1 = 1
        };
        for (const Step& s : before_volume) {
            if (auto ok = modify(s.reg, s.mask, s.bits); !ok) {
                return ok;
            }
        }
        for (std::uint8_t reg : {0x03, 0x04}) {
            if (auto ok = write(reg, 0x00); !ok) {
                return ok;
            }
        }
        if (auto ok = mute_line(false); !ok) {
            return ok;
        }
        if (auto ok = modify(0x01, 0x01, 0x00); !ok) {  // unmute
            return ok;
        }
        for (std::uint8_t reg : {0x03, 0x04}) {
            if (auto ok = write(reg, 0xFF); !ok) {
                return ok;
            }
        }
        return {};
    };
    if (auto ok = run(); !ok) {
        return std::unexpected(Error::wrap(ErrorKind::HeadphoneDac, ok.error()));
    }
    return {};
}

}  // namespace qz::device
