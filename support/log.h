// Process-wide leveled logging to the system log.
//
// Every call names a level and a target (the module path, "::"-separated). The target only tells
// where a message comes from; it is not part of the syslog record.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qz::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Where init_logging looks for a syslog daemon. Defaults are the production values; tests point
// the paths and ports at their own sockets.
struct SyslogConfig {
    std::string program_name;
    std::vector<std::string> unix_paths{"/dev/log", "/var/run/syslog", "/var/run/log"};
    std::string loopback_address{"127.0.0.1"};
    std::uint16_t tcp_port{601};
    std::uint16_t udp_port{514};
};

struct InitError {
    std::string text;
};

// Chooses the transport, reads process id and host name, installs the logger and sets the
// maximum level to debug. May be called again (tests do); the new transport replaces the old.
std::expected<void, InitError> init_logging(std::string_view program_name);
std::expected<void, InitError> init_logging(const SyslogConfig& config);

// Whether a message at this level would be written. False for every level before init_logging.
bool enabled(Level level);

// Writes one record; never throws, ignores transport errors.
void write(Level level, std::string_view target, std::string_view message);

template <typename... Args>
void log(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    if (enabled(level)) {
        write(level, target, fmt::format(format, std::forward<Args>(args)...));
    }
}

template <typename... Args>
void error(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Error, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void warn(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Warn, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void info(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Info, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void debug(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Debug, target, format, std::forward<Args>(args)...);
}
template <typename... Args>
void trace(std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
    log(Level::Trace, target, format, std::forward<Args>(args)...);
}

}  // namespace qz::log
