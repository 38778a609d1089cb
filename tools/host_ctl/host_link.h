// The host side of the parallel control interface over the simulated card's host-link socket:
// words out, report words in, and a readable decoding of every word.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "qzel_device/control_word.h"

namespace qz::host_ctl {

class HostLink {
public:
    static std::expected<HostLink, std::string> connect(const std::string& socket_path);
    HostLink(HostLink&& other) noexcept;
    HostLink& operator=(HostLink&&) = delete;
    ~HostLink();

    std::expected<void, std::string> send(const device::ControlWord& word);
    // The raw words that arrive within `timeout`.
    std::expected<std::vector<std::uint32_t>, std::string> receive(
        std::chrono::milliseconds timeout);
    // Waits up to `timeout` for the first word matching `wanted`; words before it are kept in
    // `seen` when given.
    std::expected<std::optional<device::ControlWord>, std::string> wait_for(
        std::uint8_t type, std::uint8_t index, std::chrono::milliseconds timeout,
        std::vector<std::uint32_t>* seen = nullptr);

private:
    explicit HostLink(int fd) : fd_(fd) {}
    int fd_{-1};
    std::vector<std::uint8_t> pending_;
};

// One line per word: type name, index, value and what the value means.
std::string describe(std::uint32_t raw);

// The words that upload an SSH public key (two bytes a word, then the CRC word).
std::vector<device::ControlWord> ssh_key_words(const std::string& key);

}  // namespace qz::host_ctl
