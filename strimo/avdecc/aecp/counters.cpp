#include "strimo/avdecc/aecp/counters.h"

#include "packet/aem_names.h"

namespace qz::strimo::avdecc::commands {

using packet::aem::DescriptorType;

std::uint32_t Counters::standard_mask(std::uint16_t descriptor_type) {
    switch (static_cast<DescriptorType>(descriptor_type)) {
        case DescriptorType::STREAM_INPUT:
            // MEDIA_LOCKED .. TIMESTAMP_UNCERTAIN, UNSUPPORTED_FORMAT .. FRAMES_RX
            return 0x0000003FU | 0x00000F00U;
        case DescriptorType::STREAM_OUTPUT:
            return 0x0000001FU;  // STREAM_START .. FRAMES_TX
        case DescriptorType::AVB_INTERFACE:
            return 0x0000003FU;  // LINK_UP .. GPTP_GM_CHANGED
        case DescriptorType::CLOCK_DOMAIN:
            return 0x00000003U;  // LOCKED, UNLOCKED
        default:
            return 0;
    }
}

CounterBlock Counters::block(std::uint16_t descriptor_type, std::uint16_t descriptor_index) const {
    CounterBlock out;
    if (auto found = blocks_.find({descriptor_type, descriptor_index}); found != blocks_.end()) {
        out = found->second;
    }
    // Only the standard counters of the type and the stored vendor counters count as valid.
    out.valid = (out.valid & 0xFF000000U) | standard_mask(descriptor_type);
    for (std::size_t slot = 0; slot < kCounterSlots; ++slot) {
        if ((out.valid & (1U << slot)) == 0) {
            out.values[slot] = 0;
        }
    }
    return out;
}

void Counters::set(std::uint16_t descriptor_type, std::uint16_t descriptor_index, std::size_t slot,
                   std::uint32_t value) {
    if (slot >= kCounterSlots) {
        return;
    }
    auto& block = blocks_[{descriptor_type, descriptor_index}];
    block.values[slot] = value;
    block.valid |= 1U << slot;
}

void Counters::increment(std::uint16_t descriptor_type, std::uint16_t descriptor_index,
                         std::size_t slot) {
    set(descriptor_type, descriptor_index, slot,
        value(descriptor_type, descriptor_index, slot) + 1U);
}

std::uint32_t Counters::value(std::uint16_t descriptor_type, std::uint16_t descriptor_index,
                              std::size_t slot) const {
    if (slot >= kCounterSlots) {
        return 0;
    }
    auto found = blocks_.find({descriptor_type, descriptor_index});
    return found == blocks_.end() ? 0 : found->second.values[slot];
}

}  // namespace qz::strimo::avdecc::commands
