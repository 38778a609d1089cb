// The card's peripherals outside the FPGA, each behind a narrow interface: I2C buses (clock PLL,
// headphone DAC), the SoC's GPIO lines, the SPI bus of the status LED and the PHY registers of
// the network ports. The Linux implementations are in linux_io.h, recording ones in sim/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "qzel_device/error.h"

namespace qz::device {

class I2cBus {
public:
    virtual ~I2cBus() = default;
    // One write transfer of `bytes` to the device at `address`.
    virtual std::expected<void, Error> write(std::uint8_t address,
                                             std::span<const std::uint8_t> bytes) = 0;
    // Writes the register number and reads one byte back, as one combined transfer.
    virtual std::expected<std::uint8_t, Error> read_register(std::uint8_t address,
                                                             std::uint8_t reg) = 0;
};

// Request flags of the GPIO character device (first interface version).
inline constexpr std::uint32_t kGpioInput = 1;
inline constexpr std::uint32_t kGpioOutput = 2;
inline constexpr std::uint32_t kGpioActiveLow = 4;

// A requested line of a GPIO chip, as the chip numbers them in request order.
using GpioLine = std::size_t;

class GpioChip {
public:
    virtual ~GpioChip() = default;
    virtual std::expected<GpioLine, Error> request_line(std::uint32_t offset, std::uint32_t flags,
                                                        bool value) = 0;
    virtual std::expected<void, Error> set_line(GpioLine line, bool value) = 0;
    virtual std::expected<bool, Error> get_line(GpioLine line) = 0;
};

class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    virtual std::expected<void, Error> write(std::span<const std::uint8_t> bytes) = 0;
};

class MiiBus {
public:
    virtual ~MiiBus() = default;
    virtual std::expected<std::uint16_t, Error> read(std::uint16_t phy, std::uint16_t reg) = 0;
    virtual std::expected<void, Error> write(std::uint16_t phy, std::uint16_t reg,
                                             std::uint16_t value) = 0;
};

}  // namespace qz::device
