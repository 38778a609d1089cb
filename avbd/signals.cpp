#include "avbd/signals.h"

#include <csignal>

namespace qz::avbd {

std::atomic<bool> terminate_flag{false};

namespace {
void request_stop(int /*signal*/) {
    terminate_flag.store(true);
}
}  // namespace

void install_signal_handlers() {
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    sigemptyset(&stop.sa_mask);
    // No SA_RESTART: the main loop's wait returns at once and the flag is seen immediately.
    stop.sa_flags = 0;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace qz::avbd
