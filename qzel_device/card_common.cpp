#include "qzel_device/card_common.h"

#include <chrono>

#include "qzel_device/clock_chips.h"
#include "qzel_device/linux_io.h"

namespace qz::device {

using namespace std::chrono_literals;

std::expected<CardParts, Error> open_hardware_parts(const CardPaths& paths, Sleeper& sleeper,
                                                    bool with_pll) {
    CardParts parts;
    if (with_pll) {
        auto pll = LinuxI2cBus::open(paths.pll_i2c);
        if (!pll) {
            return std::unexpected(Error::wrap(ErrorKind::Pll, pll.error()));
        }
        parts.pll_bus = std::move(*pll);
    }
    auto gpio = open_gpio_chip(paths.gpio_directory, paths.gpio_label);
    if (!gpio) {
        return std::unexpected(gpio.error());
    }
    parts.gpio = std::move(*gpio);
    auto dac = LinuxI2cBus::open(paths.dac_i2c);
    if (!dac) {
        return std::unexpected(Error::wrap(ErrorKind::HeadphoneDac, dac.error()));
    }
    parts.dac_bus = std::move(*dac);
    auto spi = LinuxSpiDevice::open(paths.led_spi, 8, kLedSpiSpeed);
    if (!spi) {
        return std::unexpected(spi.error());
    }
    parts.led_spi = std::move(*spi);
    parts.map_window = [path = paths.mem_device](std::uint32_t base, std::size_t length) {
        return map(path, base, length);
    };
    parts.sleeper = &sleeper;
    return parts;
}

std::expected<CardLines, Error> start_lines_and_dac(GpioChip& gpio, I2cBus& dac, Sleeper& sleeper) {
    struct Request {
        std::uint32_t offset;
        std::uint32_t flags;
        bool value;
    };
    constexpr Request kRequests[7] = {
        {22, kGpioOutput, true},
        {26, kGpioInput | kGpioActiveLow, false},
        {20, kGpioInput | kGpioActiveLow, false},
        {44, kGpioOutput | kGpioActiveLow, true},
        {23, kGpioOutput | kGpioActiveLow, true},
        {31, kGpioOutput, false},
        {35, kGpioOutput, false},
    };
    GpioLine handles[7]{};
    for (std::size_t i = 0; i < 7; ++i) {
        auto line = gpio.request_line(kRequests[i].offset, kRequests[i].flags, kRequests[i].value);
        if (!line) {
            return std::unexpected(line.error());
        }
        handles[i] = *line;
    }
    const CardLines lines{handles[0], handles[1], handles[2], handles[3],
                          handles[4], handles[5], handles[6]};
    for (auto [line, value] : {std::pair{lines.line31, true}, std::pair{lines.line35, true}}) {
        if (auto ok = gpio.set_line(line, value); !ok) {
            return std::unexpected(ok.error());
        }
    }
    sleeper.sleep(500ms);
    for (auto [line, value] : {std::pair{lines.line44, false}, std::pair{lines.dac_mute, true}}) {
        if (auto ok = gpio.set_line(line, value); !ok) {
            return std::unexpected(ok.error());
        }
    }
    sleeper.sleep(500ms);
    auto mute = [&](bool value) { return gpio.set_line(lines.dac_mute, value); };
    if (auto ok = init_headphone_dac(dac, mute); !ok) {
        return std::unexpected(ok.error());
    }
    return lines;
}

std::uint16_t read_status_flags(GpioChip& gpio, const CardLines& lines) {
    auto a = gpio.get_line(lines.status_a);
    if (!a) {
        return 0;
    }
    auto b = gpio.get_line(lines.status_b);
    if (!b) {
        return 0;
    }
    return static_cast<std::uint16_t>((*a ? kStatusInputA : 0) | (*b ? kStatusInputB : 0));
}

}  // namespace qz::device
