// The device layer's error as the daemon reports it.
#pragma once

#include <string>

namespace qz::avbd {

struct DeviceError {
    std::string cause;
    std::string text() const { return "Device error: " + cause; }
};

}  // namespace qz::avbd
