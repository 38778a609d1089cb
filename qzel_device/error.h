// Error values of the card library.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace qz::device {

// The low-level failure of one access: a register, a device file, an ioctl.
enum class IoKind { AddrNotAvailable, TimedOut, NotFound, InvalidInput, InvalidData, Os };

struct IoError {
    IoKind kind;
    std::string message;

    const std::string& text() const { return message; }
};

inline IoError os_error(std::string_view what, int error_number) {
    return IoError{IoKind::Os, std::string(what) + std::string(std::strerror(error_number))};
}

// The error kinds of the card library; each shows its fixed text followed by the cause.
enum class ErrorKind {
    Io,
    Pll,
    Gpio,
    HeadphoneDac,
    SpiOpen,
    SpiConfig,
    LedInit,
    I2c,
    Spi,
    ParallelInterfaceTimeout,
};

struct Error {
    ErrorKind kind;
    std::string cause;

    std::string text() const {
        switch (kind) {
            case ErrorKind::Io:
                return "IO Error: " + cause;
            case ErrorKind::Pll:
                return "PLL Error: " + cause;
            case ErrorKind::Gpio:
                return "GPIO error: " + cause;
            case ErrorKind::HeadphoneDac:
                return "Headphone DAC Error: " + cause;
            case ErrorKind::SpiOpen:
                return "Failed to open SPI device: " + cause;
            case ErrorKind::SpiConfig:
                return "Failed to configue SPI device: " + cause;
            case ErrorKind::LedInit:
                return "Failed to init LED: " + cause;
            case ErrorKind::I2c:
                return "I2C error: " + cause;
            case ErrorKind::Spi:
                return "SPI error: " + cause;
            case ErrorKind::ParallelInterfaceTimeout:
                return "Operation on parallel interface timed out";
        }
        return cause;
    }

    static Error io(const IoError& error) { return Error{ErrorKind::Io, error.message}; }
    // Wraps an error of a lower layer under a kind of this one ("PLL Error: I2C error: ...").
    static Error wrap(ErrorKind outer, const Error& inner) { return Error{outer, inner.text()}; }
};

}  // namespace qz::device
