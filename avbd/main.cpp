// qzel_avbd: the card's Milan-mode daemon. It takes no options; everything comes from the
// production settings and the stored files.
#include <cstdlib>

#include "avbd/daemon_settings.h"
#include "avbd/run_daemon.h"

int main() {
    qz::avbd::DaemonSettings settings;
    settings.open_card = qz::avbd::open_hardware_card;
    settings.exit_process = [](int status) { std::_Exit(status); };
    return qz::avbd::run_daemon(settings);
}
