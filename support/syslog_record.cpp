#include "support/syslog_record.h"

#include <fmt/format.h>

#include <array>

namespace qz::log {

int severity(Level level) {
    switch (level) {
        case Level::Error:
            return 3;
        case Level::Warn:
            return 4;
        case Level::Info:
            return 6;
        case Level::Debug:
        case Level::Trace:
            return 7;
    }
    return 7;
}

int priority(Level level) {
    return kFacilityDaemon * 8 + severity(level);
}

std::string format_timestamp(const std::tm& t) {
    static constexpr std::array<std::string_view, 12> kMonths{
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto month = kMonths.at(static_cast<std::size_t>(t.tm_mon) % kMonths.size());
    return fmt::format("{} {:02} {:02}:{:02}:{:02}", month, t.tm_mday, t.tm_hour, t.tm_min,
                       t.tm_sec);
}

std::string format_record(Level level, const std::tm& local_time,
                          std::optional<std::string_view> host_name, std::string_view program,
                          long pid, std::string_view message) {
    std::string record = fmt::format("<{}>{} ", priority(level), format_timestamp(local_time));
    if (host_name) {
        record += *host_name;
        record += ' ';
    }
    record += fmt::format("{}[{}]: {}", program, pid, message);
    return record;
}

}  // namespace qz::log
