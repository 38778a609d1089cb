#include "tests/system/harness/syslog_receiver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qz::systest {

SyslogReceiver::SyslogReceiver(std::string socket_path)
    : path_(std::move(socket_path)),
      fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      stop_(::eventfd(0, EFD_CLOEXEC)) {
    ::unlink(path_.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::fprintf(stderr, "harness: cannot bind syslog socket %s\n", path_.c_str());
        std::abort();
    }
    // Room for bursts: a flooded daemon logs fast and its datagrams must not be dropped here.
    const int size = 4 << 20;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    thread_ = std::thread([this] { run(); });
}

SyslogReceiver::~SyslogReceiver() {
    const std::uint64_t one = 1;
    (void)::write(stop_.get(), &one, sizeof(one));
    thread_.join();
    ::unlink(path_.c_str());
}

void SyslogReceiver::run() {
    char buffer[8192];
    while (true) {
        pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const auto n = ::recv(fd_.get(), buffer, sizeof(buffer), 0);
        if (n <= 0) {
            continue;
        }
        SyslogRecord record{
            std::string(buffer, static_cast<std::size_t>(n)), {}, std::chrono::steady_clock::now()};
        const auto split = record.raw.find("]: ");
        record.message = split == std::string::npos ? record.raw : record.raw.substr(split + 3);
        if (echo_) {
            std::printf("  syslog | %s\n", record.raw.c_str());
            std::fflush(stdout);
        }
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(record));
        arrived_.notify_all();
    }
}

std::optional<SyslogRecord> SyslogReceiver::wait_for(const std::string& text,
                                                     std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<SyslogRecord> found;
    arrived_.wait_for(lock, timeout, [&] {
        for (const auto& record : records_) {
            if (record.message.find(text) != std::string::npos) {
                found = record;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::size_t SyslogReceiver::count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& record : records_) {
        n += record.message.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

std::vector<SyslogRecord> SyslogReceiver::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

}  // namespace qz::systest
