// Expansion of bank routing to channel routing, the hardware encodings of channel sources and
// the routing-memory write order of both FPGA designs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "qzel_device/error.h"
#include "qzel_device/routing_types.h"
#include "qzel_device/xio.h"

namespace qz::device {

// One audio mapping of the entity: stream channel <-> cluster channel.
struct AudioMapping {
    std::uint16_t stream_index{0};
    std::uint16_t stream_channel{0};
    std::uint16_t cluster_channel{0};
};

// Channels per routing bank and per MADI port: 64, 32 or 16. The no-lock code is a broken
// invariant here.
std::size_t bank_size(std::uint8_t rate_code);

enum class Design { Milan, Dante };

// The source of channel j of a destination bank fed by source bank `code`. In Milan mode a
// network receive channel is looked up in the listener mappings.
RoutingSource expand_channel(Design design, std::uint8_t code, std::size_t j, std::size_t bank_size,
                             std::span<const AudioMapping> listener);

namespace avb {

inline constexpr std::size_t kStreams = 16;
inline constexpr std::size_t kSlotChannels = 32;

// 32, 16 or 8 channels per stream; only 44100 to 192000 Hz are valid in Milan mode.
std::size_t channels_per_stream(std::uint8_t rate_code);
ChannelRoutingBanks default_routing();
ChannelRoutingBanks expand(const BlockRoutingBanks& banks, std::uint8_t rate_code,
                           std::span<const AudioMapping> listener,
                           std::span<const AudioMapping> talker);
std::uint16_t encode(const RoutingSource& source, std::size_t bank_size,
                     std::size_t channels_per_stream);
std::expected<void, IoError> write_routing(RegisterWindow& routing,
                                           const ChannelRoutingBanks& table,
                                           std::uint8_t rate_code);

}  // namespace avb

namespace dante {

ChannelRoutingBanks expand(const BlockRoutingBanks& banks, std::uint8_t rate_code);
std::uint16_t encode(const RoutingSource& source, std::size_t bank_size);
std::expected<void, IoError> write_routing(RegisterWindow& routing,
                                           const ChannelRoutingBanks& table,
                                           std::uint8_t rate_code);

}  // namespace dante
}  // namespace qz::device
