// A periodic tick with a pollable descriptor that never queues ticks up.
//
// The timer becomes ready when its due time has passed. Taking the tick yields the due time and
// schedules the next tick one period after the moment it was taken, so a late consumer sees one
// tick, not a burst.
#pragma once

#include <expected>
#include <string>

#include "support/clock.h"
#include "support/unique_fd.h"

namespace qz {

class PeriodicTimer {
public:
    static std::expected<PeriodicTimer, std::string> create(Duration period);

    int fd() const { return fd_.get(); }
    Duration period() const { return period_; }
    Instant due() const { return due_; }

    // Returns the due time of the tick being taken and arms the next one. Returns an error text
    // when the timer can no longer deliver ticks.
    std::expected<Instant, std::string> take();

private:
    PeriodicTimer(UniqueFd fd, Duration period) : fd_(std::move(fd)), period_(period) {}
    std::expected<void, std::string> arm(Instant at);

    UniqueFd fd_;
    Duration period_;
    Instant due_{};
};

}  // namespace qz
