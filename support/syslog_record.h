// The BSD syslog (RFC 3164) record as the card's syslog daemon expects it.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "support/log.h"

namespace qz::log {

constexpr int kFacilityDaemon = 3;

// Syslog severity of a level: error 3, warn 4, info 6, debug and trace 7.
int severity(Level level);

// PRI of a record of the daemon facility at this level (24 + severity).
int priority(Level level);

// "Jan 05 09:03:07": month name, zero-padded day, 24-hour time.
std::string format_timestamp(const std::tm& local_time);

// "<PRI>TIMESTAMP [HOST ]PROGRAM[PID]: MESSAGE" with no trailing newline.
std::string format_record(Level level, const std::tm& local_time,
                          std::optional<std::string_view> host_name, std::string_view program,
                          long pid, std::string_view message);

}  // namespace qz::log
