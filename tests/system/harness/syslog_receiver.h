// Stands in for the syslog daemon: a datagram socket that collects the records sent to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/unique_fd.h"

namespace qz::systest {

struct SyslogRecord {
    std::string raw;      // the record as received
    std::string message;  // the text after "]: "
    std::chrono::steady_clock::time_point received{};
};

class SyslogReceiver {
public:
    explicit SyslogReceiver(std::string socket_path);
    SyslogReceiver(const SyslogReceiver&) = delete;
    SyslogReceiver& operator=(const SyslogReceiver&) = delete;
    ~SyslogReceiver();

    const std::string& path() const { return path_; }

    // Waits until a record whose message contains `text` has arrived (counting from the start).
    std::optional<SyslogRecord> wait_for(const std::string& text,
                                         std::chrono::milliseconds timeout);
    // How many records so far contain `text` in their message.
    std::size_t count(const std::string& text) const;
    std::vector<SyslogRecord> records() const;

    // Called for every record as it arrives (the demo prints them).
    void set_echo(bool echo) { echo_ = echo; }

private:
    void run();

    std::string path_;
    UniqueFd fd_;
    UniqueFd stop_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SyslogRecord> records_;
    bool echo_{false};
    std::thread thread_;
};

}  // namespace qz::systest
