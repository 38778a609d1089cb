#include "tests/system/harness/card_sandbox.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifndef QZ_BUILD_DIR
#error "QZ_BUILD_DIR must name the build directory"
#endif

namespace qz::systest {

CardSandbox::CardSandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qzt-XXXXXX").string();
    directory_ = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(run_directory());
    // "/var/run/syslog" is the second place the daemons look for a syslog socket.
    syslog_ = std::make_unique<SyslogReceiver>(run_directory() + "/syslog");
}

CardSandbox::~CardSandbox() {
    syslog_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::unique_ptr<Program> CardSandbox::start(const Netns& card, const std::vector<std::string>& argv,
                                            const std::string& output_name) {
    // The production daemon maps the card's registers from /dev/mem, which on a development
    // machine is its own RAM: tests and demos run the simulated card's build only.
    if (!argv.empty() && argv[0].ends_with("/qzel_avbd")) {
        std::fprintf(stderr, "harness: refusing to start the production qzel_avbd\n");
        std::abort();
    }
    static const std::string kScript =
        "mount --bind \"$0\" /run || exit 120; "
        "if [ -e /dev/log ] || [ -L /dev/log ]; then mount --bind \"$0/syslog\" /dev/log "
        "2>/dev/null; fi; "
        "exec \"$@\"";
    std::vector<std::string> command = card.exec_prefix();
    command.insert(command.end(), {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                   kScript, run_directory()});
    command.insert(command.end(), argv.begin(), argv.end());
    return std::make_unique<Program>(command, directory_ + "/" + output_name);
}

std::string built_program(const std::string& relative_path) {
    return std::string(QZ_BUILD_DIR) + "/" + relative_path;
}

}  // namespace qz::systest
