// qzel_avbd: the card's Milan-mode daemon.
#include <cstdio>
#include <cstdlib>

#include "avbd/daemon_settings.h"
#include "avbd/main_loop.h"
#include "avbd/signals.h"
#include "avbd/startup.h"
#include "support/log.h"

int main() {
    using namespace qz;
    avbd::DaemonSettings settings;
    settings.open_card = avbd::open_hardware_card;
    settings.exit_process = [](int status) { std::_Exit(status); };
    if (auto logging = log::init_logging(settings.syslog); !logging) {
        std::fprintf(stderr, "Initializing Logger failed: %s\n", logging.error().text.c_str());
        return 1;
    }
    avbd::install_signal_handlers();
    auto state = avbd::start_daemon(settings);
    if (!state) {
        const auto text = state.error().text();
        log::error("qzel_avbd", "Start-up failed: {}", text);
        std::fprintf(stderr, "%s\n", text.c_str());
        return 1;
    }
    avbd::run_main_loop(**state);
    log::info("qzel_avbd", "Stopping qzel_avbd");
    (*state)->log_statistics();
    state->reset();
    return 0;
}
