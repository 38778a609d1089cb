// The card's surroundings for one test: a private /run (where the daemon's syslog socket and
// the ptp4l management sockets live) backed by a temporary directory, with a syslog receiver
// standing in for the card's syslog daemon.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/system/harness/netns.h"
#include "tests/system/harness/program.h"
#include "tests/system/harness/syslog_receiver.h"

namespace qz::systest {

class CardSandbox {
public:
    CardSandbox();
    CardSandbox(const CardSandbox&) = delete;
    CardSandbox& operator=(const CardSandbox&) = delete;
    ~CardSandbox();

    const std::string& directory() const { return directory_; }
    // The directory that appears as /run (and so /var/run) to programs started here.
    std::string run_directory() const { return directory_ + "/run"; }
    SyslogReceiver& syslog() { return *syslog_; }

    // Starts argv in the card's network namespace with this sandbox's /run, and with
    // "/dev/log" (when the machine has one) leading to the sandbox's syslog receiver.
    std::unique_ptr<Program> start(const Netns& card, const std::vector<std::string>& argv,
                                   const std::string& output_name);

private:
    std::string directory_;
    std::unique_ptr<SyslogReceiver> syslog_;
};

// Path of a program built by this project (the test binaries know their build directory).
std::string built_program(const std::string& relative_path);

}  // namespace qz::systest
