// A program started by a system test, stopped and reaped when its owner goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qz::systest {

class Program {
public:
    // Starts argv with standard output and standard error written to `output_path`.
    Program(const std::vector<std::string>& argv, const std::string& output_path);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program();

    pid_t pid() const { return pid_; }
    void signal(int signal_number) const;

    // Waits for the program to end; returns its wait status (as waitpid gives it), or nullopt
    // after the time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();

    // Everything the program wrote so far.
    std::string output() const;

private:
    pid_t pid_{-1};
    std::optional<int> status_;
    std::string output_path_;
};

// Exit status of a normally ended program, or -1 (killed by a signal, or still running).
int exit_code(std::optional<int> wait_status);

// CPU time used so far (user and system) and resident memory of a running process.
struct ProcessUsage {
    double cpu_seconds{0};
    long rss_kib{0};
};
ProcessUsage process_usage(pid_t pid);

}  // namespace qz::systest
