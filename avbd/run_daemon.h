// The Milan daemon's whole life: logger, signals, start-up, main loop, orderly stop.
#pragma once

#include "avbd/daemon_settings.h"

namespace qz::avbd {

// Returns the process exit status: 0 after an orderly stop, 1 after a start-up failure (the
// error is written to standard error).
int run_daemon(const DaemonSettings& settings);

}  // namespace qz::avbd
