// Time as the daemons see it: a monotonic clock, injectable so state machines can be tested.
#pragma once

#include <chrono>

namespace qz {

using SteadyClock = std::chrono::steady_clock;
using Instant = SteadyClock::time_point;
using Duration = SteadyClock::duration;

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

class SystemClock final : public Clock {
public:
    Instant now() const override { return SteadyClock::now(); }
};

class FakeClock final : public Clock {
public:
    explicit FakeClock(Instant start = Instant{}) : now_(start) {}
    Instant now() const override { return now_; }
    void advance(Duration step) { now_ += step; }
    void set(Instant at) { now_ = at; }

private:
    Instant now_;
};

}  // namespace qz
