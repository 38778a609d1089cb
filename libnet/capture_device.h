// One open capture-and-injection handle of an interface.
//
// The receive worker reads and the main thread injects through the same handle, so the handle
// lives in a SharedCapture whose mutex is held for one read or one injection. Waiting for a
// frame happens outside the mutex (wait()), so a quiet port never holds up a send.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qz::net {

struct CaptureTimeout {};
struct CaptureFailure {
    std::string text;
};
// A frame (copied into the caller's buffer), a read time-out, or a capture error.
using CaptureRead = std::variant<std::monostate, CaptureTimeout, CaptureFailure>;

class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;
    // Returns when a frame may be ready to read, or after the time-out. Needs no lock.
    virtual void wait(std::chrono::milliseconds timeout) = 0;
    // Reads the next frame into `frame` without waiting. std::monostate means a frame was read;
    // CaptureTimeout that none is there.
    virtual CaptureRead next(std::vector<std::uint8_t>& frame) = 0;
    // Injects one complete frame; returns false when the injection failed.
    virtual bool inject(std::span<const std::uint8_t> frame) = 0;
};

struct SharedCapture {
    explicit SharedCapture(std::unique_ptr<CaptureDevice> d) : device(std::move(d)) {}
    std::mutex mutex;
    std::unique_ptr<CaptureDevice> device;
};

}  // namespace qz::net
