// A packet socket on an interface of a namespace, for sending hand-made frames from a peer.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "libnet/mac_address.h"
#include "support/unique_fd.h"
#include "tests/system/harness/netns.h"

namespace qz::systest {

class RawSocket {
public:
    RawSocket(const Netns& ns, const std::string& interface);

    // Sends the bytes as one frame, exactly as given. Returns false when the kernel refused it.
    bool send(std::span<const std::uint8_t> frame);

    // Waits up to `timeout_ms` for a frame accepted by `want`; returns it, or an empty frame.
    // Frames received before it that `want` rejects are consumed.
    template <typename Predicate>
    std::vector<std::uint8_t> receive_matching(Predicate want, int timeout_ms);

    // Throws away everything received so far, so that a later wait looks only at new frames.
    void drain();

private:
    std::vector<std::uint8_t> receive_one(int timeout_ms);

    UniqueFd fd_;
    int ifindex_{0};
};

// Frame building helpers for tests.
std::vector<std::uint8_t> ethernet_frame(const net::MacAddress& destination,
                                         const net::MacAddress& source, std::uint16_t ether_type,
                                         std::span<const std::uint8_t> payload,
                                         std::size_t min_length = 60);

template <typename Predicate>
std::vector<std::uint8_t> RawSocket::receive_matching(Predicate want, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        auto frame = receive_one(10);
        if (!frame.empty() && want(frame)) {
            return frame;
        }
    }
    return {};
}

}  // namespace qz::systest
