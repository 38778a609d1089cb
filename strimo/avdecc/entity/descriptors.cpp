#include "strimo/avdecc/entity/descriptors.h"

#include <algorithm>
#include <bit>
#include <type_traits>
#include <unordered_map>

#include "packet/aem_names.h"

namespace qz::strimo::avdecc::entity {
namespace {

using packet::aem::DescriptorType;

class Bytes {
public:
    explicit Bytes(DescriptorType type, std::uint16_t index) {
        u16(packet::aem::to_u16(type));
        u16(index);
    }
    template <typename T>
    void put(T value) {
        if constexpr (std::is_same_v<T, float>) {
            put(std::bit_cast<std::uint32_t>(value));
        } else if constexpr (std::is_same_v<T, double>) {
            put(std::bit_cast<std::uint64_t>(value));
        } else {
            auto v = static_cast<std::make_unsigned_t<T>>(value);
            for (std::size_t i = sizeof(T); i-- > 0;) {
                out_.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
            }
        }
    }
    void u8(std::uint8_t v) { put(v); }
    void u16(std::uint16_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void name(std::string_view text) {
        const auto kept = name_prefix(text);
        out_.insert(out_.end(), kept.begin(), kept.end());
        out_.insert(out_.end(), kNameSize - kept.size(), 0);
    }
    void raw(std::span<const std::uint8_t> bytes) {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
    }
    std::size_t size() const { return out_.size(); }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

// Assigns string numbers in order of first use.
class StringTable {
public:
    std::uint16_t reference(const std::string& text) {
        if (text.empty()) {
            return kNoString;
        }
        auto [it, inserted] = numbers_.try_emplace(text, texts_.size());
        if (inserted) {
            texts_.push_back(text);
        }
        return string_reference(it->second);
    }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    std::unordered_map<std::string, std::size_t> numbers_;
    std::vector<std::string> texts_;
};

template <typename T>
void put_linear(Bytes& b, const LinearValue<T>& v) {
    b.put(v.minimum);
    b.put(v.maximum);
    b.put(v.step);
    b.put(v.default_value);
    b.put(v.current);
    b.u16(v.unit);
    b.u16(v.string);
}

// value_details of a CONTROL descriptor and its number_of_values.
std::uint16_t value_count(const ControlValues& values) {
    return std::visit(
        [](const auto& alt) -> std::uint16_t {
            using A = std::decay_t<decltype(alt)>;
            if constexpr (std::is_same_v<A, SmpteTime>) {
                return static_cast<std::uint16_t>(alt.values.size());
            } else if constexpr (std::is_same_v<A, Vendor>) {
                return 1;
            } else if constexpr (requires { alt.values; }) {
                return static_cast<std::uint16_t>(alt.values.size());
            } else if constexpr (requires { alt.value.options; }) {
                return static_cast<std::uint16_t>(alt.value.options.size());
            } else {
                return static_cast<std::uint16_t>(alt.value.current.size());
            }
        },
        values);
}

void put_values(Bytes& b, const ControlValues& values) {
    std::visit(
        [&](const auto& alt) {
            using A = std::decay_t<decltype(alt)>;
            if constexpr (std::is_same_v<A, SmpteTime>) {
                for (auto v : alt.values) {
                    b.u64(v);
                }
            } else if constexpr (std::is_same_v<A, Vendor>) {
                b.u64(alt.vendor_id);
                b.u16(static_cast<std::uint16_t>(alt.blob.size()));
                b.raw(alt.blob);
            } else if constexpr (std::is_same_v<A, SampleRate>) {
                b.u32(alt.value.current);
                b.u32(alt.value.default_value);
                for (auto v : alt.value.options) {
                    b.u32(v);
                }
            } else if constexpr (requires { alt.values; }) {
                for (const auto& v : alt.values) {
                    put_linear(b, v);
                }
            } else if constexpr (requires { alt.value.options; }) {
                b.put(alt.value.current);
                b.put(alt.value.default_value);
                for (auto v : alt.value.options) {
                    b.put(v);
                }
                b.u16(alt.value.unit);
            } else {
                b.put(alt.value.minimum);
                b.put(alt.value.maximum);
                b.put(alt.value.step);
                b.put(alt.value.default_value);
                b.u16(alt.value.unit);
                b.u16(alt.value.string);
                for (auto v : alt.value.current) {
                    b.put(v);
                }
            }
        },
        values);
}

std::uint16_t count16(std::size_t n) {
    return static_cast<std::uint16_t>(std::min<std::size_t>(n, 0xFFFF));
}

class ConfigurationWriter {
public:
    ConfigurationWriter(const Entity& entity, std::uint16_t configuration_index,
                        DescriptorCache& cache)
        : entity_(entity),
          configuration_(entity.configurations[configuration_index]),
          index_(configuration_index),
          cache_(cache) {}

    void run() {
        // The entity's own texts come first in every configuration's string table.
        const auto vendor = strings_.reference(entity_.vendor_name);
        const auto model = strings_.reference(entity_.model_name);
        write_entity(vendor, model);
        write_configuration();
        for (std::size_t i = 0; i < configuration_.audio_units.size(); ++i) {
            write_audio_unit(static_cast<std::uint16_t>(i), configuration_.audio_units[i]);
        }
        write_streams(DescriptorType::STREAM_INPUT, configuration_.input_streams);
        write_streams(DescriptorType::STREAM_OUTPUT, configuration_.output_streams);
        write_jacks(DescriptorType::JACK_INPUT, configuration_.input_jacks);
        write_jacks(DescriptorType::JACK_OUTPUT, configuration_.output_jacks);
        for (std::size_t i = 0; i < configuration_.avb_interfaces.size(); ++i) {
            write_avb_interface(static_cast<std::uint16_t>(i), configuration_.avb_interfaces[i]);
        }
        for (std::size_t i = 0; i < configuration_.clock_sources.size(); ++i) {
            write_clock_source(static_cast<std::uint16_t>(i), configuration_.clock_sources[i]);
        }
        for (std::size_t i = 0; i < configuration_.memory_objects.size(); ++i) {
            write_memory_object(static_cast<std::uint16_t>(i), configuration_.memory_objects[i]);
        }
        for (std::size_t i = 0; i < configuration_.clock_domains.size(); ++i) {
            write_clock_domain(static_cast<std::uint16_t>(i), configuration_.clock_domains[i]);
        }
        write_controls(configuration_.controls);
        write_locales();
    }

    const std::vector<std::string>& texts() const { return strings_.texts(); }

private:
    std::uint16_t next(DescriptorType type) const {
        auto found = counters_.find(packet::aem::to_u16(type));
        return found == counters_.end() ? 0 : found->second;
    }
    std::uint16_t take(DescriptorType type) { return counters_[packet::aem::to_u16(type)]++; }
    void store(DescriptorType type, std::uint16_t index, Bytes& bytes) {
        cache_.add(index_, packet::aem::to_u16(type), index, bytes.take());
    }

    void write_entity(std::uint16_t vendor, std::uint16_t model) {
        Bytes b(DescriptorType::ENTITY, 0);
        b.u64(entity_.entity_id);
        b.u64(entity_.entity_model_id);
        b.u32(entity_.entity_capabilities);
        b.u16(entity_.talker_stream_sources);
        b.u16(entity_.talker_capabilities);
        b.u16(entity_.listener_stream_sinks);
        b.u16(entity_.listener_capabilities);
        b.u32(entity_.controller_capabilities);
        b.u32(0);  // available_index
        b.u64(entity_.association_id);
        b.name(entity_.entity_name);
        b.u16(vendor);
        b.u16(model);
        b.name(entity_.firmware_version);
        b.name(entity_.group_name);
        b.name(entity_.serial_number);
        b.u16(count16(entity_.configurations.size()));
        b.u16(entity_.current_configuration);
        store(DescriptorType::ENTITY, 0, b);
    }

    void write_configuration() {
        const auto& c = configuration_;
        Bytes b(DescriptorType::CONFIGURATION, index_);
        b.name(c.object_name);
        b.u16(strings_.reference(c.localized_description));
        const std::pair<DescriptorType, std::size_t> counts[] = {
            {DescriptorType::AUDIO_UNIT, c.audio_units.size()},
            {DescriptorType::VIDEO_UNIT, c.video_units.size()},
            {DescriptorType::STREAM_INPUT, c.input_streams.size()},
            {DescriptorType::STREAM_OUTPUT, c.output_streams.size()},
            {DescriptorType::JACK_INPUT, c.input_jacks.size()},
            {DescriptorType::JACK_OUTPUT, c.output_jacks.size()},
            {DescriptorType::AVB_INTERFACE, c.avb_interfaces.size()},
            {DescriptorType::CLOCK_SOURCE, c.clock_sources.size()},
            {DescriptorType::MATRIX, c.matrices.size()},
            {DescriptorType::MEMORY_OBJECT, c.memory_objects.size()},
            {DescriptorType::CLOCK_DOMAIN, c.clock_domains.size()},
            {DescriptorType::CONTROL_BLOCK, c.control_blocks.size()},
            {DescriptorType::CONTROL, c.controls.size()},
            {DescriptorType::LOCALE, c.locales.size()},
        };
        const auto present = std::count_if(std::begin(counts), std::end(counts),
                                           [](const auto& entry) { return entry.second > 0; });
        b.u16(static_cast<std::uint16_t>(present));
        b.u16(74);  // descriptor_counts_offset
        for (const auto& [type, count] : counts) {
            if (count > 0) {
                b.u16(packet::aem::to_u16(type));
                b.u16(count16(count));
            }
        }
        store(DescriptorType::CONFIGURATION, index_, b);
    }

    void write_controls(const std::vector<Control>& controls) {
        for (const auto& control : controls) {
            write_control(control);
        }
    }

    void write_control(const Control& c) {
        const auto index = take(DescriptorType::CONTROL);
        Bytes b(DescriptorType::CONTROL, index);
        b.name(c.object_name);
        b.u16(strings_.reference(c.localized_description));
        b.u32(c.block_latency);
        b.u32(c.control_latency);
        b.u16(c.control_domain);
        b.u16(static_cast<std::uint16_t>((c.read_only ? 0x8000U : 0U) | (c.unknown ? 0x4000U : 0U) |
                                         control_value_type(c.values)));
        b.u64(c.control_type);
        b.u32(c.reset_time);
        b.u16(104);  // values_offset
        b.u16(value_count(c.values));
        b.u16(c.signal_type);
        b.u16(c.signal_index);
        b.u16(c.signal_output);
        put_values(b, c.values);
        store(DescriptorType::CONTROL, index, b);
    }

    void write_audio_unit(std::uint16_t index, const AudioUnit& u) {
        Bytes b(DescriptorType::AUDIO_UNIT, index);
        b.name(u.object_name);
        b.u16(strings_.reference(u.localized_description));
        b.u16(u.clock_domain_index);
        auto pair = [&](std::size_t count, DescriptorType type) {
            b.u16(count16(count));
            b.u16(next(type));
        };
        pair(u.input_stream_ports.size(), DescriptorType::STREAM_PORT_INPUT);
        pair(u.output_stream_ports.size(), DescriptorType::STREAM_PORT_OUTPUT);
        pair(u.input_external_ports.size(), DescriptorType::EXTERNAL_PORT_INPUT);
        pair(u.output_external_ports.size(), DescriptorType::EXTERNAL_PORT_OUTPUT);
        pair(u.input_internal_ports.size(), DescriptorType::INTERNAL_PORT_INPUT);
        pair(u.output_internal_ports.size(), DescriptorType::INTERNAL_PORT_OUTPUT);
        pair(u.controls.size(), DescriptorType::CONTROL);
        pair(u.signal_selectors.size(), DescriptorType::SIGNAL_SELECTOR);
        pair(u.mixers.size(), DescriptorType::MIXER);
        pair(u.matrices.size(), DescriptorType::MATRIX);
        pair(u.splitters.size(), DescriptorType::SIGNAL_SPLITTER);
        pair(u.combiners.size(), DescriptorType::SIGNAL_COMBINER);
        pair(u.demultiplexers.size(), DescriptorType::SIGNAL_DEMULTIPLEXER);
        pair(u.multiplexers.size(), DescriptorType::SIGNAL_MULTIPLEXER);
        pair(u.transcoders.size(), DescriptorType::SIGNAL_TRANSCODER);
        pair(u.control_blocks.size(), DescriptorType::CONTROL_BLOCK);
        b.u32(u.current_sampling_rate);
        b.u16(144);  // sampling_rates_offset
        b.u16(count16(u.sampling_rates.size()));
        for (auto rate : u.sampling_rates) {
            b.u32(rate);
        }
        store(DescriptorType::AUDIO_UNIT, index, b);

        write_controls(u.controls);
        for (const auto& port : u.input_stream_ports) {
            write_stream_port(DescriptorType::STREAM_PORT_INPUT, port);
        }
        for (const auto& port : u.output_stream_ports) {
            write_stream_port(DescriptorType::STREAM_PORT_OUTPUT, port);
        }
        for (const auto& port : u.input_external_ports) {
            write_port(DescriptorType::EXTERNAL_PORT_INPUT, port, port.jack_index);
        }
        for (const auto& port : u.output_external_ports) {
            write_port(DescriptorType::EXTERNAL_PORT_OUTPUT, port, port.jack_index);
        }
        for (const auto& port : u.input_internal_ports) {
            write_port(DescriptorType::INTERNAL_PORT_INPUT, port, port.internal_index);
        }
        for (const auto& port : u.output_internal_ports) {
            write_port(DescriptorType::INTERNAL_PORT_OUTPUT, port, port.internal_index);
        }
    }

    void write_stream_port(DescriptorType type, const AudioStreamPort& p) {
        const auto index = take(type);
        Bytes b(type, index);
        b.u16(p.clock_domain_index);
        b.u16(p.port_flags);
        b.u16(count16(p.controls.size()));
        b.u16(next(DescriptorType::CONTROL));
        b.u16(count16(p.clusters.size()));
        b.u16(next(DescriptorType::AUDIO_CLUSTER));
        b.u16(count16(p.maps.size()));
        b.u16(next(DescriptorType::AUDIO_MAP));
        store(type, index, b);
        write_controls(p.controls);
        for (const auto& cluster : p.clusters) {
            write_cluster(cluster);
        }
        for (const auto& map : p.maps) {
            write_map(map);
        }
    }

    template <typename Port>
    void write_port(DescriptorType type, const Port& p, std::uint16_t target) {
        const auto index = take(type);
        Bytes b(type, index);
        b.u16(p.clock_domain_index);
        b.u16(p.port_flags);
        b.u16(count16(p.controls.size()));
        b.u16(next(DescriptorType::CONTROL));
        b.u16(p.signal_type);
        b.u16(p.signal_index);
        b.u16(p.signal_output);
        b.u32(p.block_latency);
        b.u16(target);
        store(type, index, b);
        write_controls(p.controls);
    }

    void write_cluster(const AudioCluster& c) {
        const auto index = take(DescriptorType::AUDIO_CLUSTER);
        Bytes b(DescriptorType::AUDIO_CLUSTER, index);
        b.name(c.object_name);
        b.u16(strings_.reference(c.localized_description));
        b.u16(c.signal_type);
        b.u16(c.signal_index);
        b.u16(c.signal_output);
        b.u32(c.path_latency);
        b.u32(c.block_latency);
        b.u16(c.channel_count);
        b.u8(c.format);
        store(DescriptorType::AUDIO_CLUSTER, index, b);
    }

    void write_map(const AudioMap& m) {
        const auto index = take(DescriptorType::AUDIO_MAP);
        Bytes b(DescriptorType::AUDIO_MAP, index);
        b.u16(8);  // mappings_offset
        b.u16(count16(m.audio_mapping.size()));
        for (const auto& mapping : m.audio_mapping) {
            b.u16(mapping.stream_index);
            b.u16(mapping.stream_channel);
            b.u16(mapping.cluster_offset);
            b.u16(mapping.cluster_channel);
        }
        store(DescriptorType::AUDIO_MAP, index, b);
    }

    void write_streams(DescriptorType type, const std::vector<Stream>& streams) {
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const auto& s = streams[i];
            const auto index = static_cast<std::uint16_t>(i);
            Bytes b(type, index);
            b.name(s.object_name);
            b.u16(strings_.reference(s.localized_description));
            b.u16(s.clock_domain_index);
            b.u16(s.stream_flags);
            b.u64(s.current_stream_format);
            b.u16(136);  // formats_offset
            b.u16(count16(s.stream_formats.size()));
            b.u64(s.backup_talker_entity_id0);
            b.u16(s.backup_talker_unique0);
            b.u64(s.backup_talker_entity_id1);
            b.u16(s.backup_talker_unique1);
            b.u64(s.backup_talker_entity_id2);
            b.u16(s.backup_talker_unique2);
            b.u64(s.backedup_talker_entity_id);
            b.u16(s.backedup_talker_unique);
            b.u16(s.avb_interface_index);
            b.u32(s.buffer_length);
            b.u16(static_cast<std::uint16_t>(136 + 8 * s.stream_formats.size()));
            b.u16(count16(s.redundant_streams.size()));
            for (auto format : s.stream_formats) {
                b.u64(format);
            }
            for (auto redundant : s.redundant_streams) {
                b.u16(redundant);
            }
            store(type, index, b);
        }
    }

    void write_jacks(DescriptorType type, const std::vector<Jack>& jacks) {
        for (std::size_t i = 0; i < jacks.size(); ++i) {
            const auto& j = jacks[i];
            const auto index = static_cast<std::uint16_t>(i);
            Bytes b(type, index);
            b.name(j.object_name);
            b.u16(strings_.reference(j.localized_description));
            b.u16(j.jack_flags);
            b.u16(j.jack_type);
            b.u16(count16(j.controls.size()));
            b.u16(next(DescriptorType::CONTROL));
            store(type, index, b);
            write_controls(j.controls);
        }
    }

    void write_avb_interface(std::uint16_t index, const AvbInterface& a) {
        Bytes b(DescriptorType::AVB_INTERFACE, index);
        b.name(a.object_name);
        b.u16(strings_.reference(a.localized_description));
        b.raw(a.mac_address);
        b.u16(a.interface_flags);
        b.u64(a.clock_identity);
        b.u8(a.priority1);
        b.u8(a.clock_class);
        b.u16(a.offset_scaled_log_variance);
        b.u8(a.clock_accuracy);
        b.u8(a.priority2);
        b.u8(a.domain_number);
        b.put(a.log_sync_interval);
        b.put(a.log_announce_interval);
        b.put(a.log_pdelay_interval);
        b.u16(a.port_number);
        store(DescriptorType::AVB_INTERFACE, index, b);
    }

    void write_clock_source(std::uint16_t index, const ClockSource& c) {
        Bytes b(DescriptorType::CLOCK_SOURCE, index);
        b.name(c.object_name);
        b.u16(strings_.reference(c.localized_description));
        b.u16(c.clock_source_flags);
        b.u16(c.clock_source_type);
        b.u64(c.clock_source_id);
        b.u16(c.clock_source_location_type);
        b.u16(c.clock_source_location_index);
        store(DescriptorType::CLOCK_SOURCE, index, b);
    }

    void write_memory_object(std::uint16_t index, const MemoryObject& m) {
        Bytes b(DescriptorType::MEMORY_OBJECT, index);
        b.name(m.object_name);
        b.u16(strings_.reference(m.localized_description));
        b.u16(m.memory_object_type);
        b.u16(m.target_descriptor_type);
        b.u16(m.target_descriptor_index);
        b.u64(m.start_address);
        b.u64(m.maximum_length);
        b.u64(m.length);
        store(DescriptorType::MEMORY_OBJECT, index, b);
    }

    void write_clock_domain(std::uint16_t index, const ClockDomain& d) {
        Bytes b(DescriptorType::CLOCK_DOMAIN, index);
        b.name(d.object_name);
        b.u16(strings_.reference(d.localized_description));
        b.u16(d.clock_source_index);
        b.u16(76);  // clock_sources_offset
        b.u16(count16(d.clock_sources.size()));
        for (auto source : d.clock_sources) {
            b.u16(source);
        }
        store(DescriptorType::CLOCK_DOMAIN, index, b);
    }

    void write_locales() {
        const auto groups = strings_descriptors(strings_.texts());
        const auto per_locale = count16(groups.size());
        std::uint16_t strings_index = 0;
        for (std::size_t i = 0; i < configuration_.locales.size(); ++i) {
            Bytes b(DescriptorType::LOCALE, static_cast<std::uint16_t>(i));
            b.name(configuration_.locales[i].locale_identifier);
            b.u16(per_locale);
            b.u16(strings_index);
            store(DescriptorType::LOCALE, static_cast<std::uint16_t>(i), b);
            for (const auto& group : groups) {
                Bytes s(DescriptorType::STRINGS, strings_index);
                for (std::size_t slot = 0; slot < kStringsPerDescriptor; ++slot) {
                    s.name(slot < group.strings.size() ? group.strings[slot] : std::string());
                }
                store(DescriptorType::STRINGS, strings_index, s);
                ++strings_index;
            }
        }
    }

    const Entity& entity_;
    const Configuration& configuration_;
    std::uint16_t index_;
    DescriptorCache& cache_;
    StringTable strings_;
    std::unordered_map<std::uint16_t, std::uint16_t> counters_;
};

}  // namespace

std::uint16_t control_value_type(const ControlValues& values) {
    const auto index = values.index();
    if (index <= 30) {
        return static_cast<std::uint16_t>(index);  // LINEAR_INT8 (0) up to ARRAY_DOUBLE (0x1E)
    }
    switch (index) {
        case 31:
            return 0x0021;  // SMPTE_TIME
        case 32:
            return 0x0022;  // SAMPLE_RATE
        default:
            return 0x3FFE;  // VENDOR
    }
}

std::string_view name_prefix(std::string_view text) {
    if (text.size() <= kNameSize) {
        return text;
    }
    std::size_t cut = kNameSize;
    // Step back over continuation bytes so a character is never split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) {
        --cut;
    }
    return text.substr(0, cut);
}

std::vector<Strings> strings_descriptors(const std::vector<std::string>& texts) {
    std::vector<Strings> out;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i % kStringsPerDescriptor == 0) {
            out.emplace_back();
        }
        out.back().strings.push_back(texts[i]);
    }
    return out;
}

std::vector<std::string> localized_strings(const Entity& entity,
                                           const Configuration& configuration) {
    // Serialising into a scratch cache numbers the strings exactly as READ_DESCRIPTOR sees them.
    Entity single = entity;
    single.configurations = {configuration};
    DescriptorCache scratch;
    ConfigurationWriter writer(single, 0, scratch);
    writer.run();
    return writer.texts();
}

const std::vector<std::uint8_t>* DescriptorCache::find(std::uint16_t configuration_index,
                                                       std::uint16_t descriptor_type,
                                                       std::uint16_t descriptor_index) const {
    const auto key = (std::uint64_t{configuration_index} << 32) |
                     (std::uint64_t{descriptor_type} << 16) | descriptor_index;
    auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : &found->second;
}

void DescriptorCache::add(std::uint16_t configuration_index, std::uint16_t descriptor_type,
                          std::uint16_t descriptor_index, std::vector<std::uint8_t> bytes) {
    const auto key = (std::uint64_t{configuration_index} << 32) |
                     (std::uint64_t{descriptor_type} << 16) | descriptor_index;
    total_bytes_ += bytes.size();
    auto [it, inserted] = entries_.insert_or_assign(key, std::move(bytes));
    (void)it;
    (void)inserted;
}

DescriptorCache serialise(const Entity& entity) {
    DescriptorCache cache;
    const auto count = std::min<std::size_t>(entity.configurations.size(), 0xFFFF);
    for (std::size_t i = 0; i < count; ++i) {
        ConfigurationWriter(entity, static_cast<std::uint16_t>(i), cache).run();
    }
    return cache;
}

}  // namespace qz::strimo::avdecc::entity
