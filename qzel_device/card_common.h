// Start-up pieces shared by the Milan and Dante card objects.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "qzel_device/led.h"
#include "qzel_device/peripherals.h"
#include "qzel_device/sleeper.h"
#include "qzel_device/status.h"
#include "qzel_device/xio.h"

namespace qz::device {

// Production paths of the card's devices; tests and the simulator never use them.
struct CardPaths {
    std::string mem_device{"/dev/mem"};
    std::string pll_i2c{"/dev/i2c-0"};
    std::string dac_i2c{"/dev/i2c-1"};
    std::string gpio_directory{"/dev"};
    std::string gpio_label{"zynq_gpio"};
    std::string led_spi{"/dev/spidev2.0"};
};

using WindowMapper = std::function<std::expected<RegisterWindow, IoError>(std::uint32_t phys_base,
                                                                          std::size_t length)>;

// Everything a card object is built from; the hardware and the simulated card each fill it.
struct CardParts {
    std::unique_ptr<I2cBus> pll_bus;  // Milan design only
    std::unique_ptr<I2cBus> dac_bus;
    std::unique_ptr<GpioChip> gpio;
    std::unique_ptr<SpiDevice> led_spi;
    WindowMapper map_window;
    Sleeper* sleeper{nullptr};  // the 500 ms waits of the reset sequence
};

// Opens the devices at their production paths ("/dev/mem" mappings included).
std::expected<CardParts, Error> open_hardware_parts(const CardPaths& paths, Sleeper& sleeper,
                                                    bool with_pll);

// GPIO lines of the card in request order.
struct CardLines {
    GpioLine wordclock_enable;  // offset 22
    GpioLine status_a;          // offset 26
    GpioLine status_b;          // offset 20
    GpioLine line44;
    GpioLine dac_mute;  // offset 23
    GpioLine line31;
    GpioLine line35;
};

// Requests the seven lines, runs the reset sequence and initialises the headphone DAC.
std::expected<CardLines, Error> start_lines_and_dac(GpioChip& gpio, I2cBus& dac, Sleeper& sleeper);

// Status flags from the two status inputs; 0 when either read fails.
std::uint16_t read_status_flags(GpioChip& gpio, const CardLines& lines);

}  // namespace qz::device
