// What the main loop did, for the log line at an orderly stop and for benchmarks.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "support/clock.h"

namespace qz::avbd {

// The six receivers of the main loop, in the order they are registered.
enum class Source : std::size_t {
    DeviceRequests = 0,
    ControlPoll = 1,
    StackTimer = 2,
    Housekeeping = 3,
    FramesPort0 = 4,
    FramesPort1 = 5,
};
constexpr std::size_t kSourceCount = 6;

struct LoopStats {
    std::uint64_t iterations{0};
    std::array<std::uint64_t, kSourceCount> served{};
    // Largest delay between a timer's due time and the moment its tick was taken.
    std::array<Duration, kSourceCount> max_lateness{};

    void note_tick(Source source, Instant due, Instant taken);
    std::string summary() const;
};

}  // namespace qz::avbd
