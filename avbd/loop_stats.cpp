#include "avbd/loop_stats.h"

#include <fmt/format.h>

#include <algorithm>

namespace qz::avbd {
namespace {
long long micros(Duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}
}  // namespace

void LoopStats::note_tick(Source source, Instant due, Instant taken) {
    auto& worst = max_lateness.at(static_cast<std::size_t>(source));
    worst = std::max(worst, taken - due);
}

std::string LoopStats::summary() const {
    const auto at = [this](Source s) { return static_cast<std::size_t>(s); };
    return fmt::format(
        "Main loop statistics: iterations {}, device requests {}, 5 ms ticks {} (max late {} us), "
        "10 ms ticks {} (max late {} us), 1 s ticks {} (max late {} us), frames eth0 {}, "
        "frames eth1 {}",
        iterations, served[at(Source::DeviceRequests)], served[at(Source::ControlPoll)],
        micros(max_lateness[at(Source::ControlPoll)]), served[at(Source::StackTimer)],
        micros(max_lateness[at(Source::StackTimer)]), served[at(Source::Housekeeping)],
        micros(max_lateness[at(Source::Housekeeping)]), served[at(Source::FramesPort0)],
        served[at(Source::FramesPort1)]);
}

}  // namespace qz::avbd
