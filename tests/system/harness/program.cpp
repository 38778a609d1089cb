#include "tests/system/harness/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace qz::systest {

Program::Program(const std::vector<std::string>& argv, const std::string& output_path)
    : output_path_(output_path) {
    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        // The daemons run as a supervisor starts them: their own process group, no terminal.
        ::setpgid(0, 0);
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

Program::~Program() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(5));
    }
}

void Program::signal(int signal_number) const {
    ::kill(pid_, signal_number);
}

bool Program::running() {
    if (status_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return status_;
}

std::string Program::output() const {
    std::ifstream in(output_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ProcessUsage process_usage(pid_t pid) {
    ProcessUsage usage;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const auto after_name = text.rfind(')');
    if (after_name == std::string::npos) {
        return usage;
    }
    // Fields after the command name start at field 3 (state); utime and stime are 14 and 15.
    std::istringstream fields(text.substr(after_name + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stoul(field);
        }
    }
    usage.cpu_seconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            usage.rss_kib = std::stol(line.substr(6));
        }
    }
    return usage;
}

int exit_code(std::optional<int> wait_status) {
    if (!wait_status || !WIFEXITED(*wait_status)) {
        return -1;
    }
    return WEXITSTATUS(*wait_status);
}

}  // namespace qz::systest
