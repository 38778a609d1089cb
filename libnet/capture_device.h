// One open capture-and-injection handle of an interface.
//
// The receive worker reads and the main thread injects through the same handle, so the handle
// lives in a SharedCapture whose mutex is held for one read or one injection.
#pragma once

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
    // Reads the next frame into `frame`. std::monostate means a frame was read.
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
