#include "avbd/persist/restore.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "avbd/persist/files.h"
#include "avbd/persist/persistor.h"
#include "strimo/avdecc/entity/json.h"

namespace qz::avbd::persist {
namespace {

using namespace strimo::avdecc::entity;

// The whole model is about a megabyte; anything far beyond is not a file the daemon wrote.
constexpr std::size_t kEntityFileLimit = 64 * 1024 * 1024;

// Walks the indices both lists have.
template <typename T, typename F>
void each_common(std::vector<T>& built, const std::vector<T>& stored, F&& copy) {
    const std::size_t n = std::min(built.size(), stored.size());
    for (std::size_t i = 0; i < n; ++i) {
        copy(built[i], stored[i]);
    }
}

template <typename T>
bool on_step(T value, T minimum, T maximum, T step) {
    if (value < minimum || value > maximum) {
        return false;
    }
    if constexpr (std::is_floating_point_v<T>) {
        if (step == 0) {
            return value == minimum;
        }
        const T steps = (value - minimum) / step;
        return std::fabs(steps - std::round(steps)) < 1e-6;
    } else {
        if (step == 0) {
            return value == minimum;
        }
        // Differences taken in the unsigned domain so that wide signed ranges do not overflow.
        using U = std::make_unsigned_t<T>;
        const U distance = static_cast<U>(static_cast<U>(value) - static_cast<U>(minimum));
        const U unsigned_step = static_cast<U>(step < 0 ? -step : step);
        return unsigned_step != 0 && distance % unsigned_step == 0;
    }
}

template <typename T>
void restore_values(Linear<T>& built, const Linear<T>& stored) {
    each_common(built.values, stored.values, [](LinearValue<T>& b, const LinearValue<T>& s) {
        const T candidate = s.current;
        if (on_step(candidate, b.minimum, b.maximum, b.step)) {
            b.current = candidate;
        }
    });
}

template <typename V>
void restore_selector(V& built, const V& stored) {
    if (std::find(built.options.begin(), built.options.end(), stored.current) !=
        built.options.end()) {
        built.current = stored.current;
    }
}

template <typename T>
void restore_values(Selector<T>& built, const Selector<T>& stored) {
    restore_selector(built.value, stored.value);
}
void restore_values(SelectorString& built, const SelectorString& stored) {
    restore_selector(built.value, stored.value);
}
void restore_values(SampleRate& built, const SampleRate& stored) {
    restore_selector(built.value, stored.value);
}

template <typename T>
void restore_values(Array<T>& built, const Array<T>& stored) {
    auto& b = built.value;
    const std::size_t n = std::min(b.current.size(), stored.value.current.size());
    for (std::size_t i = 0; i < n; ++i) {
        const T candidate = stored.value.current[i];
        if (on_step(candidate, b.minimum, b.maximum, b.step)) {
            b.current[i] = candidate;
        }
    }
}

void restore_values(SmpteTime& built, const SmpteTime& stored) {
    const std::size_t n = std::min(built.values.size(), stored.values.size());
    std::copy_n(stored.values.begin(), n, built.values.begin());
}

void restore_values(Vendor& built, const Vendor& stored) {
    // A vendor blob belongs to its vendor: only the same vendor's blob is taken.
    if (built.vendor_id == stored.vendor_id) {
        built.blob = stored.blob;
    }
}

void restore_control(Control& built, const Control& stored) {
    if (built.read_only) {
        return;
    }
    built.object_name = stored.object_name;
    if (built.values.index() != stored.values.index()) {
        return;
    }
    std::visit(
        [&stored](auto& b) {
            using V = std::decay_t<decltype(b)>;
            restore_values(b, std::get<V>(stored.values));
        },
        built.values);
}

void restore_controls(std::vector<Control>& built, const std::vector<Control>& stored) {
    each_common(built, stored, restore_control);
}

void restore_stream_port(AudioStreamPort& built, const AudioStreamPort& stored) {
    restore_controls(built.controls, stored.controls);
    each_common(built.clusters, stored.clusters,
                [](AudioCluster& b, const AudioCluster& s) { b.object_name = s.object_name; });
    // Dynamic maps exist only on ports with a dynamic partition on both sides.
    if (built.maps_dyn_partition && stored.maps_dyn_partition) {
        built.maps_dyn = stored.maps_dyn;
    }
}

template <typename P>
void restore_port_controls(std::vector<P>& built, const std::vector<P>& stored) {
    each_common(built, stored, [](P& b, const P& s) { restore_controls(b.controls, s.controls); });
}

void restore_audio_unit(AudioUnit& built, const AudioUnit& stored) {
    built.object_name = stored.object_name;
    if (std::find(built.sampling_rates.begin(), built.sampling_rates.end(),
                  stored.current_sampling_rate) != built.sampling_rates.end()) {
        built.current_sampling_rate = stored.current_sampling_rate;
    }
    each_common(built.input_stream_ports, stored.input_stream_ports, restore_stream_port);
    each_common(built.output_stream_ports, stored.output_stream_ports, restore_stream_port);
    restore_port_controls(built.input_external_ports, stored.input_external_ports);
    restore_port_controls(built.output_external_ports, stored.output_external_ports);
    restore_port_controls(built.input_internal_ports, stored.input_internal_ports);
    restore_port_controls(built.output_internal_ports, stored.output_internal_ports);
    restore_controls(built.controls, stored.controls);
}

void restore_stream(Stream& built, const Stream& stored) {
    built.object_name = stored.object_name;
    if (std::find(built.stream_formats.begin(), built.stream_formats.end(),
                  stored.current_stream_format) != built.stream_formats.end()) {
        built.current_stream_format = stored.current_stream_format;
    }
    built.backup_talker_entity_id0 = stored.backup_talker_entity_id0;
    built.backup_talker_unique0 = stored.backup_talker_unique0;
    built.backup_talker_entity_id1 = stored.backup_talker_entity_id1;
    built.backup_talker_unique1 = stored.backup_talker_unique1;
    built.backup_talker_entity_id2 = stored.backup_talker_entity_id2;
    built.backup_talker_unique2 = stored.backup_talker_unique2;
    built.backedup_talker_entity_id = stored.backedup_talker_entity_id;
    built.backedup_talker_unique = stored.backedup_talker_unique;
    built.presentation_time_offset = stored.presentation_time_offset;
}

void restore_configuration(Configuration& built, const Configuration& stored) {
    built.object_name = stored.object_name;
    each_common(built.audio_units, stored.audio_units, restore_audio_unit);
    each_common(built.input_streams, stored.input_streams, restore_stream);
    each_common(built.output_streams, stored.output_streams, restore_stream);
    auto jack = [](Jack& b, const Jack& s) {
        b.object_name = s.object_name;
        restore_controls(b.controls, s.controls);
    };
    each_common(built.input_jacks, stored.input_jacks, jack);
    each_common(built.output_jacks, stored.output_jacks, jack);
    each_common(built.avb_interfaces, stored.avb_interfaces,
                [](AvbInterface& b, const AvbInterface& s) { b.object_name = s.object_name; });
    each_common(built.clock_sources, stored.clock_sources,
                [](ClockSource& b, const ClockSource& s) {
                    b.object_name = s.object_name;
                    b.clock_source_id = s.clock_source_id;
                });
    each_common(built.memory_objects, stored.memory_objects,
                [](MemoryObject& b, const MemoryObject& s) {
                    b.object_name = s.object_name;
                    b.data_url = s.data_url;
                    b.data = s.data;
                });
    each_common(
        built.clock_domains, stored.clock_domains, [](ClockDomain& b, const ClockDomain& s) {
            b.object_name = s.object_name;
            if (std::find(b.clock_sources.begin(), b.clock_sources.end(), s.clock_source_index) !=
                b.clock_sources.end()) {
                b.clock_source_index = s.clock_source_index;
            }
        });
    restore_controls(built.controls, stored.controls);
}

}  // namespace

void restore_from(Entity& built, const Entity& stored) {
    built.entity_name = stored.entity_name;
    built.group_name = stored.group_name;
    if (stored.current_configuration < built.configurations.size()) {
        built.current_configuration = stored.current_configuration;
    }
    each_common(built.configurations, stored.configurations, restore_configuration);
}

Entity restore_entity_values(Entity built, const std::string& directory) {
    auto text = read_small_file(join_path(directory, kEntityFile), kEntityFileLimit);
    if (!text || !*text) {
        return built;
    }
    auto stored = load(**text);
    if (!stored) {
        return built;
    }
    restore_from(built, *stored);
    return built;
}

}  // namespace qz::avbd::persist
