// Injectable waiting, so the link handshakes and LED timing can be tested without real sleeps.
#pragma once

#include <thread>

#include "support/clock.h"

namespace qz::device {

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(Duration duration) = 0;
};

class ThreadSleeper final : public Sleeper {
public:
    void sleep(Duration duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace qz::device
