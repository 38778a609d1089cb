// What the stack knows of each stream at run time, beside the model: whether a stream input is
// bound to a talker, whether a stream output is streaming, a sink's STREAMING_WAIT, and the
// changed flag that makes the periodic tick notify the stream's GET_STREAM_INFO.
//
// Connection management and the stream state machines own these values once they run; until
// then every input is unbound and every output idle, which is the entity's real state.
#pragma once

#include <cstdint>
#include <vector>

namespace qz::strimo::avdecc::commands {

struct SinkRuntime {
    bool bound{false};
    bool streaming_wait{false};
    bool changed{false};
};

struct SourceRuntime {
    bool streaming{false};
    bool changed{false};
};

struct StreamRuntime {
    std::vector<SinkRuntime> sinks;
    std::vector<SourceRuntime> sources;

    bool input_bound(std::uint16_t index) const {
        return index < sinks.size() && sinks[index].bound;
    }
    bool output_streaming(std::uint16_t index) const {
        return index < sources.size() && sources[index].streaming;
    }
    bool any_input_bound() const {
        for (const auto& s : sinks) {
            if (s.bound) {
                return true;
            }
        }
        return false;
    }
    bool any_output_streaming() const {
        for (const auto& s : sources) {
            if (s.streaming) {
                return true;
            }
        }
        return false;
    }
};

}  // namespace qz::strimo::avdecc::commands
