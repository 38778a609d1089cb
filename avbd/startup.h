// The Milan daemon's start-up sequence.
#pragma once

#include <expected>
#include <memory>

#include "avbd/daemon_error.h"
#include "avbd/daemon_state.h"

namespace qz::avbd {

// Runs the start-up steps after the logger and the signal handlers are in place, and returns the
// state the main loop runs on. A failing step ends start-up with its error.
std::expected<std::unique_ptr<DaemonState>, DaemonError> start_daemon(DaemonSettings settings);

}  // namespace qz::avbd
