// Orderly stop on SIGTERM and SIGINT.
#pragma once

#include <atomic>

namespace qz::avbd {

// Set by the signal handlers; the main loop tests it between iterations.
extern std::atomic<bool> terminate_flag;

// Installs the SIGTERM and SIGINT handlers (they only set terminate_flag) and ignores SIGPIPE,
// so a write to a closed socket is an error instead of the end of the process.
void install_signal_handlers();

}  // namespace qz::avbd
