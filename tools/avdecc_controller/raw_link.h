// AVTP control frames on one interface through a packet socket (needs CAP_NET_RAW).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packet/field.h"

namespace qz::ctl {

class RawLink {
public:
    static std::expected<RawLink, std::string> open(const std::string& interface);
    RawLink(RawLink&& other) noexcept;
    RawLink& operator=(RawLink&&) = delete;
    ~RawLink();

    const packet::Bytes6& mac() const { return mac_; }
    std::expected<void, std::string> send(std::span<const std::uint8_t> frame);
    // One frame of ethertype 0x22F0, or nothing when `timeout` passed first.
    std::expected<std::optional<std::vector<std::uint8_t>>, std::string> receive(
        std::chrono::milliseconds timeout);

private:
    RawLink(int fd, int ifindex, packet::Bytes6 mac) : fd_(fd), ifindex_(ifindex), mac_(mac) {}
    int fd_{-1};
    int ifindex_{0};
    packet::Bytes6 mac_{};
};

}  // namespace qz::ctl
