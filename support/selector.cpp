#include "support/selector.h"

#include <sys/epoll.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace qz {
namespace {
std::string os_error(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}
}  // namespace

std::expected<Selector, std::string> Selector::create() {
    UniqueFd epoll{::epoll_create1(EPOLL_CLOEXEC)};
    if (!epoll.valid()) {
        return std::unexpected(os_error("epoll_create1"));
    }
    return Selector(std::move(epoll));
}

std::expected<std::size_t, std::string> Selector::add(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = fds_.size();
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return std::unexpected(os_error("epoll_ctl add"));
    }
    fds_.push_back(fd);
    return fds_.size() - 1;
}

std::expected<void, std::string> Selector::replace(std::size_t source, int fd) {
    const int old = fds_.at(source);
    if (old == fd) {
        return {};
    }
    // The old descriptor may already be closed, in which case the kernel dropped it itself.
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, old, nullptr);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = source;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return std::unexpected(os_error("epoll_ctl replace"));
    }
    fds_[source] = fd;
    return {};
}

std::expected<std::optional<std::size_t>, std::string> Selector::wait_one(RandomSource& random) {
    std::array<epoll_event, 16> events{};
    const int count =
        ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), -1);
    if (count < 0) {
        if (errno == EINTR) {
            return std::nullopt;
        }
        return std::unexpected(os_error("epoll_wait"));
    }
    ready_.clear();
    for (int i = 0; i < count; ++i) {
        ready_.push_back(static_cast<std::size_t>(events[static_cast<std::size_t>(i)].data.u64));
    }
    if (ready_.empty()) {
        return std::nullopt;
    }
    return ready_[random.below(ready_.size())];
}

}  // namespace qz
