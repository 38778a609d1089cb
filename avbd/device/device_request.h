// Messages from the AVB stack's device hooks to the device layer on the main loop.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

namespace qz::avbd {

// One mapping of a stream channel to a cluster channel, as the stack's audio maps carry it.
struct AudioMapping {
    std::uint16_t stream_index{0};
    std::uint16_t stream_channel{0};
    std::uint16_t cluster_offset{0};
    std::uint16_t cluster_channel{0};
};

struct SampleRateChanged {
    std::uint8_t rate_code{0};
};
struct ClockSourceChanged {
    std::uint16_t clock_source_index{0};
};
struct IdentifyChanged {
    bool on{false};
};
struct ListenerMapsChanged {
    std::vector<AudioMapping> mappings;
};
struct TalkerMapsChanged {
    std::vector<AudioMapping> mappings;
};

using DeviceRequest = std::variant<SampleRateChanged, ClockSourceChanged, IdentifyChanged,
                                   ListenerMapsChanged, TalkerMapsChanged>;

}  // namespace qz::avbd
