#include "tests/system/harness/command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qz::systest {

CommandResult run_command(const std::vector<std::string>& argv, bool keep_stderr) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        if (keep_stderr) {
            ::dup2(pipe_fds[1], STDERR_FILENO);
        } else {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    CommandResult result;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string run_checked(const std::vector<std::string>& argv) {
    auto result = run_command(argv);
    if (result.status != 0) {
        std::string line;
        for (const auto& arg : argv) {
            line += arg + " ";
        }
        std::fprintf(stderr, "harness: command failed (%d): %s\n%s\n", result.status, line.c_str(),
                     result.output.c_str());
        std::abort();
    }
    return result.output;
}

}  // namespace qz::systest
