// The AEM counters of the entity's descriptors, as GET_COUNTERS reports them.
//
// The stack counts what it sees itself (LINK_UP, LINK_DOWN, GPTP_GM_CHANGED); the device control
// loop stores what the card and the kernel count (stream, clock domain and frame counters). A
// descriptor type has a fixed set of standard counters that are always valid; vendor counters in
// slots 24 to 31 are valid only once a value has been stored for them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

namespace qz::strimo::avdecc::commands {

constexpr std::size_t kCounterSlots = 32;
constexpr std::size_t kFirstVendorCounter = 24;

// Standard counter slots by descriptor type.
namespace counter {
constexpr std::size_t LINK_UP = 0;
constexpr std::size_t LINK_DOWN = 1;
constexpr std::size_t FRAMES_TX = 2;
constexpr std::size_t FRAMES_RX = 3;
constexpr std::size_t RX_CRC_ERROR = 4;
constexpr std::size_t GPTP_GM_CHANGED = 5;
constexpr std::size_t LOCKED = 0;
constexpr std::size_t UNLOCKED = 1;
}  // namespace counter

struct CounterBlock {
    std::uint32_t valid{0};
    std::array<std::uint32_t, kCounterSlots> values{};
};

class Counters {
public:
    // The standard counters' valid bits of a descriptor type (0 for types without counters).
    static std::uint32_t standard_mask(std::uint16_t descriptor_type);

    // The block GET_COUNTERS reports: the standard counters (0 until stored) and the vendor
    // counters that have a value.
    CounterBlock block(std::uint16_t descriptor_type, std::uint16_t descriptor_index) const;

    // Stores a counter; a slot outside 0..31 is ignored.
    void set(std::uint16_t descriptor_type, std::uint16_t descriptor_index, std::size_t slot,
             std::uint32_t value);
    void increment(std::uint16_t descriptor_type, std::uint16_t descriptor_index, std::size_t slot);
    std::uint32_t value(std::uint16_t descriptor_type, std::uint16_t descriptor_index,
                        std::size_t slot) const;

private:
    std::map<std::pair<std::uint16_t, std::uint16_t>, CounterBlock> blocks_;
};

}  // namespace qz::strimo::avdecc::commands
