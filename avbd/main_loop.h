// The Milan daemon's main loop over its six receivers.
#pragma once

#include "avbd/daemon_state.h"

namespace qz::avbd {

// Waits until a receiver is ready, picks one of the ready ones at random and serves exactly one
// message of it. Returns early, serving nothing, when a signal interrupted the wait.
void run_iteration(DaemonState& state);

// Runs iterations until terminate_flag is set.
void run_main_loop(DaemonState& state);

}  // namespace qz::avbd
