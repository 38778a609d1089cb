// Waits on several pollable descriptors at once and picks one ready source fairly.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "support/random.h"
#include "support/unique_fd.h"

namespace qz {

class Selector {
public:
    static std::expected<Selector, std::string> create();

    // Registers a descriptor (level-triggered readability); sources are numbered in the order
    // they were added. replace() points an existing source at a new descriptor.
    std::expected<std::size_t, std::string> add(int fd);
    std::expected<void, std::string> replace(std::size_t source, int fd);

    // Blocks until at least one source is ready and returns one of the ready ones, each with
    // equal chance. Returns nullopt when a signal interrupted the wait.
    std::expected<std::optional<std::size_t>, std::string> wait_one(RandomSource& random);

private:
    explicit Selector(UniqueFd epoll) : epoll_(std::move(epoll)) {}

    UniqueFd epoll_;
    std::vector<int> fds_;
    std::vector<std::size_t> ready_;
};

}  // namespace qz
