// FrameSender over the daemon's two open ports.
#pragma once

#include <array>
#include <optional>

#include "libnet/frame_sender.h"
#include "libnet/net_port.h"

namespace qz::net {

class PortSender final : public FrameSender {
public:
    explicit PortSender(const std::array<std::optional<NetPort>, 2>& ports) : ports_(ports) {}
    void send(std::size_t port_index, std::span<const std::uint8_t> frame) override;

private:
    const std::array<std::optional<NetPort>, 2>& ports_;
};

}  // namespace qz::net
