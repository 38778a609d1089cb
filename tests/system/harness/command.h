// Running helper commands (ip, tshark, sysctl) from the system-test harness.
#pragma once

#include <string>
#include <vector>

namespace qz::systest {

struct CommandResult {
    int status{-1};      // exit status, or -1 when the command could not run or was killed
    std::string output;  // standard output and standard error together
};

// Runs argv[0] with the arguments, waits for it and returns its status and output. Standard
// error is part of the output unless `keep_stderr` is false, when it is discarded.
CommandResult run_command(const std::vector<std::string>& argv, bool keep_stderr = true);

// Same, but aborts the test program with a readable message when the command fails: the harness
// cannot go on without its namespaces.
std::string run_checked(const std::vector<std::string>& argv);

}  // namespace qz::systest
