#include "avbd/run_daemon.h"

#include <cstdio>

#include "avbd/main_loop.h"
#include "avbd/signals.h"
#include "avbd/startup.h"
#include "support/log.h"

namespace qz::avbd {

int run_daemon(const DaemonSettings& settings) {
    if (auto logging = log::init_logging(settings.syslog); !logging) {
        std::fprintf(stderr, "Initializing Logger failed: %s\n", logging.error().text.c_str());
        return 1;
    }
    install_signal_handlers();
    auto state = start_daemon(settings);
    if (!state) {
        const auto text = state.error().text();
        log::error("qzel_avbd", "Start-up failed: {}", text);
        std::fprintf(stderr, "%s\n", text.c_str());
        return 1;
    }
    run_main_loop(**state);
    log::info("qzel_avbd", "Stopping qzel_avbd");
    (*state)->log_statistics();
    state->reset();
    return 0;
}

}  // namespace qz::avbd
