// The RGB status LED on the SPI bus: its one-wire encoding and the LED worker thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "qzel_device/peripherals.h"
#include "support/channel.h"
#include "support/clock.h"

namespace qz::device {

using LedColour = std::array<std::uint8_t, 3>;
inline constexpr LedColour kDefaultColour{0x55, 0x00, 0x00};
inline constexpr std::size_t kLedBufferSize = 256;
inline constexpr std::size_t kLedLatchGap = 123;
inline constexpr std::uint32_t kLedSpiSpeed = 3500000;

// Every two colour bits, most significant first, become one SPI byte.
std::array<std::uint8_t, kLedBufferSize> encode_led(const LedColour& colour);
// Writes the encoded colour and then the latch gap.
std::expected<void, Error> write_led(SpiDevice& spi, const LedColour& colour);

struct LedCommand {
    std::uint8_t mode{0};  // 0 default colour, 1 custom colour, 2 or more identify sweep
    LedColour colour{};
};

struct LedFrame {
    LedColour colour;
    std::optional<Duration> hold;  // nothing: until the next command
};

// What the LED shows, step by step; the worker only writes frames and waits.
class LedAnimator {
public:
    void command(const LedCommand& command);
    LedFrame next();

private:
    LedCommand state_{};
    std::size_t byte_{0};
    unsigned value_{0};
};

// Owns the SPI device on a thread of its own; `set` posts a command. Stops when destroyed.
class LedWorker {
public:
    explicit LedWorker(std::unique_ptr<SpiDevice> spi);
    ~LedWorker();
    LedWorker(const LedWorker&) = delete;
    LedWorker& operator=(const LedWorker&) = delete;

    void set(std::uint8_t mode, const LedColour& colour);

private:
    static void run(std::unique_ptr<SpiDevice> spi, Receiver<LedCommand> commands);
    std::optional<Sender<LedCommand>> sender_;
    std::thread thread_;
};

}  // namespace qz::device
