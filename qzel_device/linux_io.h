// Linux implementations of the peripheral interfaces: i2c-dev, the GPIO character device,
// spidev and the MII register requests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qzel_device/peripherals.h"
#include "support/unique_fd.h"

namespace qz::device {

class LinuxI2cBus final : public I2cBus {
public:
    static std::expected<std::unique_ptr<LinuxI2cBus>, Error> open(const std::string& path);
    std::expected<void, Error> write(std::uint8_t address,
                                     std::span<const std::uint8_t> bytes) override;
    std::expected<std::uint8_t, Error> read_register(std::uint8_t address,
                                                     std::uint8_t reg) override;

private:
    explicit LinuxI2cBus(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// Converts request flags of the first interface version to the flags of the second.
std::uint64_t gpio_v2_flags(std::uint32_t v1_flags);

class LinuxGpioChip final : public GpioChip {
public:
    explicit LinuxGpioChip(UniqueFd chip) : chip_(std::move(chip)) {}
    std::expected<GpioLine, Error> request_line(std::uint32_t offset, std::uint32_t flags,
                                                bool value) override;
    std::expected<void, Error> set_line(GpioLine line, bool value) override;
    std::expected<bool, Error> get_line(GpioLine line) override;

private:
    struct Line {
        UniqueFd fd;
        bool v2;
    };
    UniqueFd chip_;
    std::vector<Line> lines_;
    bool v1_only_{false};
};

// Reads the label of the GPIO chip at `path` (GPIO_GET_CHIPINFO_IOCTL); keeps the descriptor.
struct ProbedChip {
    UniqueFd fd;
    std::string label;
};
using GpioChipProbe = std::function<std::expected<ProbedChip, Error>(const std::string& path)>;
std::expected<ProbedChip, Error> probe_gpio_chip(const std::string& path);

// Walks `directory` for "gpiochip" entries and returns the first whose label is `label`.
std::expected<ProbedChip, Error> find_gpio_chip(const std::string& directory,
                                                const std::string& label,
                                                const GpioChipProbe& probe);
std::expected<std::unique_ptr<GpioChip>, Error> open_gpio_chip(
    const std::string& directory = "/dev", const std::string& label = "zynq_gpio");

class LinuxSpiDevice final : public SpiDevice {
public:
    // Opens and configures the device ("Failed to open SPI device: ", "Failed to configue SPI
    // device: " on failure).
    static std::expected<std::unique_ptr<LinuxSpiDevice>, Error> open(const std::string& path,
                                                                      std::uint8_t bits_per_word,
                                                                      std::uint32_t speed_hz);
    std::expected<void, Error> write(std::span<const std::uint8_t> bytes) override;

private:
    explicit LinuxSpiDevice(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

class LinuxMiiBus final : public MiiBus {
public:
    static std::expected<std::unique_ptr<LinuxMiiBus>, Error> open(const std::string& interface);
    std::expected<std::uint16_t, Error> read(std::uint16_t phy, std::uint16_t reg) override;
    std::expected<void, Error> write(std::uint16_t phy, std::uint16_t reg,
                                     std::uint16_t value) override;

private:
    LinuxMiiBus(UniqueFd socket, std::string interface)
        : socket_(std::move(socket)), interface_(std::move(interface)) {}
    UniqueFd socket_;
    std::string interface_;
};

}  // namespace qz::device
