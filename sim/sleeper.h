// A sleeper that only advances a fake clock and counts what was asked of it.
#pragma once

#include "qzel_device/sleeper.h"
#include "support/clock.h"

namespace qz::sim {

class FakeSleeper final : public device::Sleeper {
public:
    explicit FakeSleeper(FakeClock& clock) : clock_(clock) {}
    void sleep(Duration duration) override {
        clock_.advance(duration);
        ++calls_;
        total_ += duration;
    }
    int calls() const { return calls_; }
    Duration total() const { return total_; }

private:
    FakeClock& clock_;
    int calls_{0};
    Duration total_{};
};

}  // namespace qz::sim
