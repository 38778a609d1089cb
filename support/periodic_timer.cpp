#include "support/periodic_timer.h"

#include <sys/timerfd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qz {

std::expected<PeriodicTimer, std::string> PeriodicTimer::create(Duration period) {
    UniqueFd fd{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(std::string("timerfd_create: ") + std::strerror(errno));
    }
    PeriodicTimer timer(std::move(fd), period);
    if (auto armed = timer.arm(SteadyClock::now() + period); !armed) {
        return std::unexpected(armed.error());
    }
    return timer;
}

std::expected<void, std::string> PeriodicTimer::arm(Instant at) {
    // steady_clock is CLOCK_MONOTONIC on Linux, so its epoch is the timer's.
    const auto since_epoch = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(seconds.count());
    spec.it_value.tv_nsec = static_cast<long>(nanos.count());
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) {
        spec.it_value.tv_nsec = 1;  // an all-zero value would disarm the timer
    }
    if (::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &spec, nullptr) != 0) {
        return std::unexpected(std::string("timerfd_settime: ") + std::strerror(errno));
    }
    due_ = at;
    return {};
}

std::expected<Instant, std::string> PeriodicTimer::take() {
    std::uint64_t expirations = 0;
    if (::read(fd_.get(), &expirations, sizeof(expirations)) < 0 && errno != EAGAIN) {
        return std::unexpected(std::string("timerfd read: ") + std::strerror(errno));
    }
    const Instant tick = due_;
    if (auto armed = arm(SteadyClock::now() + period_); !armed) {
        return std::unexpected(armed.error());
    }
    return tick;
}

}  // namespace qz
