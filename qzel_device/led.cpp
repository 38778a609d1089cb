#include "qzel_device/led.h"

#include <poll.h>

#include <chrono>

#include "support/log.h"

namespace qz::device {

using namespace std::chrono_literals;

std::array<std::uint8_t, kLedBufferSize> encode_led(const LedColour& colour) {
    static constexpr std::uint8_t kPairs[4] = {0x88, 0x8E, 0xE8, 0xEE};
    std::array<std::uint8_t, kLedBufferSize> buffer{};
    std::size_t at = 0;
    for (std::uint8_t byte : colour) {
        for (int shift = 6; shift >= 0; shift -= 2) {
            buffer[at++] = kPairs[(byte >> shift) & 3];
        }
    }
    return buffer;
}

std::expected<void, Error> write_led(SpiDevice& spi, const LedColour& colour) {
    const auto buffer = encode_led(colour);
    if (auto ok = spi.write(buffer); !ok) {
        return ok;
    }
    const std::array<std::uint8_t, kLedLatchGap> gap{};
    return spi.write(gap);
}

void LedAnimator::command(const LedCommand& command) {
    state_ = command;
    byte_ = 0;
    value_ = 0;
}

LedFrame LedAnimator::next() {
    if (state_.mode == 0) {
        return {kDefaultColour, std::nullopt};
    }
    if (state_.mode == 1) {
        return {state_.colour, std::nullopt};
    }
    LedColour colour{};
    colour[byte_] = static_cast<std::uint8_t>(value_);
    const bool end_of_sweep = value_ == 255;
    if (end_of_sweep) {
        value_ = 0;
        byte_ = (byte_ + 1) % colour.size();
    } else {
        ++value_;
    }
    return {colour, end_of_sweep ? Duration(100ms) : Duration(5ms)};
}

LedWorker::LedWorker(std::unique_ptr<SpiDevice> spi) {
    auto [sender, receiver] = make_channel<LedCommand>(0);
    sender_.emplace(std::move(sender));
    thread_ = std::thread(&LedWorker::run, std::move(spi), std::move(receiver));
}

LedWorker::~LedWorker() {
    sender_.reset();  // the worker sees the channel close and ends
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LedWorker::set(std::uint8_t mode, const LedColour& colour) {
    sender_->send(LedCommand{mode, colour});
}

void LedWorker::run(std::unique_ptr<SpiDevice> spi, Receiver<LedCommand> commands) {
    LedAnimator animator;
    for (;;) {
        const LedFrame frame = animator.next();
        if (auto ok = write_led(*spi, frame.colour); !ok) {
            qz::log::error("qzel_device::led", "Failed to set LED value: {}", ok.error().text());
        }
        pollfd wait{commands.fd(), POLLIN, 0};
        const int timeout =
            frame.hold
                ? static_cast<int>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(*frame.hold).count())
                : -1;
        if (::poll(&wait, 1, timeout) < 0 && errno != EINTR) {
            return;
        }
        // Take every queued command; the last one wins.
        for (;;) {
            auto received = commands.try_recv();
            if (received.status == RecvStatus::Disconnected) {
                return;
            }
            if (received.status == RecvStatus::Empty) {
                break;
            }
            animator.command(*received.message);
        }
    }
}

}  // namespace qz::device
