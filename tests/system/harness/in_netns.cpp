#include "tests/system/harness/in_netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace qz::systest {

void in_netns(const std::string& netns_name, const std::function<void()>& work) {
    std::thread thread([&] {
        const std::string path = "/run/netns/" + netns_name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "harness: cannot enter network namespace %s\n", path.c_str());
            std::abort();
        }
        ::close(fd);
        work();
    });
    thread.join();
}

}  // namespace qz::systest
