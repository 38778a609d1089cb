// The AVDECC entity model: plain records that own their children.
//
// A descriptor's AEM index is its position in its list, or, for descriptors that belong to a
// parent (controls, stream ports, clusters, maps), its position in the traversal of the whole
// configuration (see descriptors.h). Texts are UTF-8 of at most 64 bytes on the wire; longer
// texts are cut when descriptors are serialised.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qz::strimo::avdecc::entity {

template <typename T>
struct LinearValue {
    T minimum{};
    T maximum{};
    T step{};
    T default_value{};
    T current{};
    std::uint16_t unit{0};    // multiplier (high byte) and unit code (low byte)
    std::uint16_t string{0};  // localized string reference
    bool operator==(const LinearValue&) const = default;
};

template <typename T>
struct SelectorValue {
    T current{};
    T default_value{};
    std::vector<T> options;
    std::uint16_t unit{0};
    bool operator==(const SelectorValue&) const = default;
};

template <typename T>
struct ArrayValue {
    T minimum{};
    T maximum{};
    T step{};
    T default_value{};
    std::vector<T> current;
    std::uint16_t unit{0};
    std::uint16_t string{0};
    bool operator==(const ArrayValue&) const = default;
};

template <typename T>
struct Linear {
    std::vector<LinearValue<T>> values;
    bool operator==(const Linear&) const = default;
};
template <typename T>
struct Selector {
    SelectorValue<T> value;
    bool operator==(const Selector&) const = default;
};
template <typename T>
struct Array {
    ArrayValue<T> value;
    bool operator==(const Array&) const = default;
};
// Options are localized string references.
struct SelectorString {
    SelectorValue<std::uint16_t> value;
    bool operator==(const SelectorString&) const = default;
};
// Each value is the packed 64-bit SMPTE time of IEEE 1722.1.
struct SmpteTime {
    std::vector<std::uint64_t> values;
    bool operator==(const SmpteTime&) const = default;
};
// Sampling rates in the 32-bit pull/base-frequency form.
struct SampleRate {
    SelectorValue<std::uint32_t> value;
    bool operator==(const SampleRate&) const = default;
};
struct Vendor {
    std::uint64_t vendor_id{0};
    std::vector<std::uint8_t> blob;
    bool operator==(const Vendor&) const = default;
};

// The alternatives are in the order of their JSON names (control_value_names in json.h).
using ControlValues = std::variant<
    Linear<std::int8_t>, Linear<std::uint8_t>, Linear<std::int16_t>, Linear<std::uint16_t>,
    Linear<std::int32_t>, Linear<std::uint32_t>, Linear<std::int64_t>, Linear<std::uint64_t>,
    Linear<float>, Linear<double>, Selector<std::int8_t>, Selector<std::uint8_t>,
    Selector<std::int16_t>, Selector<std::uint16_t>, Selector<std::int32_t>,
    Selector<std::uint32_t>, Selector<std::int64_t>, Selector<std::uint64_t>, Selector<float>,
    Selector<double>, SelectorString, Array<std::int8_t>, Array<std::uint8_t>, Array<std::int16_t>,
    Array<std::uint16_t>, Array<std::int32_t>, Array<std::uint32_t>, Array<std::int64_t>,
    Array<std::uint64_t>, Array<float>, Array<double>, SmpteTime, SampleRate, Vendor>;

struct Control {
    std::string object_name;
    std::string localized_description;
    std::uint32_t block_latency{0};
    std::uint32_t control_latency{0};
    std::uint16_t control_domain{0};
    std::uint64_t control_type{0};
    std::uint32_t reset_time{0};
    std::uint16_t signal_type{0xFFFF};
    std::uint16_t signal_index{0};
    std::uint16_t signal_output{0};
    bool read_only{false};
    bool unknown{false};
    ControlValues values;
    // Kept with the definition, not in the file: a controller without the lock may set it.
    bool settable_without_lock{false};
    bool operator==(const Control&) const = default;
};

struct AudioCluster {
    std::string object_name;
    std::string localized_description;
    std::uint16_t signal_type{0xFFFF};
    std::uint16_t signal_index{0};
    std::uint16_t signal_output{0};
    std::uint32_t path_latency{0};
    std::uint32_t block_latency{0};
    std::uint16_t channel_count{1};
    std::uint8_t format{0x40};
    bool operator==(const AudioCluster&) const = default;
};

struct AudioMapping {
    std::uint16_t stream_index{0};
    std::uint16_t stream_channel{0};
    std::uint16_t cluster_offset{0};
    std::uint16_t cluster_channel{0};
    bool operator==(const AudioMapping&) const = default;
};

struct AudioMap {
    std::vector<AudioMapping> audio_mapping;
    bool operator==(const AudioMap&) const = default;
};

struct MapPartition {
    std::uint16_t start{0};
    std::uint16_t end{0};  // inclusive
    bool operator==(const MapPartition&) const = default;
};

struct AudioStreamPort {
    std::uint16_t clock_domain_index{0};
    std::uint16_t port_flags{0};
    std::vector<Control> controls;
    std::vector<AudioCluster> clusters;
    std::vector<AudioMap> maps;
    std::vector<AudioMapping> maps_dyn;
    std::optional<MapPartition> maps_dyn_partition;
    bool operator==(const AudioStreamPort&) const = default;
};

struct ExternalPort {
    std::uint16_t clock_domain_index{0};
    std::uint16_t port_flags{0};
    std::vector<Control> controls;
    std::uint16_t signal_type{0xFFFF};
    std::uint16_t signal_index{0};
    std::uint16_t signal_output{0};
    std::uint32_t block_latency{0};
    std::uint16_t jack_index{0};
    bool operator==(const ExternalPort&) const = default;
};

struct InternalPort {
    std::uint16_t clock_domain_index{0};
    std::uint16_t port_flags{0};
    std::vector<Control> controls;
    std::uint16_t signal_type{0xFFFF};
    std::uint16_t signal_index{0};
    std::uint16_t signal_output{0};
    std::uint32_t block_latency{0};
    std::uint16_t internal_index{0};
    bool operator==(const InternalPort&) const = default;
};

// Descriptors the model counts but the card does not have; they carry nothing.
struct Placeholder {
    bool operator==(const Placeholder&) const = default;
};
using VideoUnit = Placeholder;
using SensorUnit = Placeholder;
using SignalSelector = Placeholder;
using Mixer = Placeholder;
using Matrix = Placeholder;
using Splitter = Placeholder;
using Combiner = Placeholder;
using Demultiplexer = Placeholder;
using Multiplexer = Placeholder;
using Transcoder = Placeholder;
using ControlBlock = Placeholder;

struct AudioUnit {
    std::string object_name;
    std::string localized_description;
    std::uint16_t clock_domain_index{0};
    std::vector<AudioStreamPort> input_stream_ports;
    std::vector<AudioStreamPort> output_stream_ports;
    std::vector<ExternalPort> input_external_ports;
    std::vector<ExternalPort> output_external_ports;
    std::vector<InternalPort> input_internal_ports;
    std::vector<InternalPort> output_internal_ports;
    std::vector<Control> controls;
    std::vector<SignalSelector> signal_selectors;
    std::vector<Mixer> mixers;
    std::vector<Matrix> matrices;
    std::vector<Splitter> splitters;
    std::vector<Combiner> combiners;
    std::vector<Demultiplexer> demultiplexers;
    std::vector<Multiplexer> multiplexers;
    std::vector<Transcoder> transcoders;
    std::vector<ControlBlock> control_blocks;
    std::uint32_t current_sampling_rate{48000};
    std::vector<std::uint32_t> sampling_rates;
    bool operator==(const AudioUnit&) const = default;
};

struct Stream {
    std::string object_name;
    std::string localized_description;
    std::uint16_t clock_domain_index{0};
    std::uint16_t stream_flags{0};
    std::uint64_t current_stream_format{0};
    std::uint64_t backup_talker_entity_id0{0};
    std::uint16_t backup_talker_unique0{0};
    std::uint64_t backup_talker_entity_id1{0};
    std::uint16_t backup_talker_unique1{0};
    std::uint64_t backup_talker_entity_id2{0};
    std::uint16_t backup_talker_unique2{0};
    std::uint64_t backedup_talker_entity_id{0};
    std::uint16_t backedup_talker_unique{0};
    std::uint16_t avb_interface_index{0};
    std::uint32_t buffer_length{0};
    std::vector<std::uint64_t> stream_formats;
    std::optional<std::uint32_t> presentation_time_offset;
    std::vector<std::uint16_t> redundant_streams;
    bool operator==(const Stream&) const = default;
};

struct Jack {
    std::string object_name;
    std::string localized_description;
    std::uint16_t jack_flags{0};
    std::uint16_t jack_type{0};
    std::vector<Control> controls;
    bool operator==(const Jack&) const = default;
};

struct AvbInterface {
    std::string object_name;
    std::string localized_description;
    std::array<std::uint8_t, 6> mac_address{};
    std::uint64_t clock_identity{0};
    std::uint16_t interface_flags{0};
    std::uint8_t priority1{0};
    std::uint8_t clock_class{0};
    std::uint16_t offset_scaled_log_variance{0};
    std::uint8_t clock_accuracy{0};
    std::uint8_t priority2{0};
    std::uint8_t domain_number{0};
    std::int8_t log_sync_interval{0};
    std::int8_t log_announce_interval{0};
    std::int8_t log_pdelay_interval{0};
    std::uint16_t port_number{0};
    bool operator==(const AvbInterface&) const = default;
};

struct ClockSource {
    std::string object_name;
    std::string localized_description;
    std::uint16_t clock_source_flags{0};
    std::uint16_t clock_source_type{0};
    std::uint64_t clock_source_id{0};
    std::uint16_t clock_source_location_type{0};
    std::uint16_t clock_source_location_index{0};
    bool operator==(const ClockSource&) const = default;
};

struct ClockDomain {
    std::string object_name;
    std::string localized_description;
    std::uint16_t clock_source_index{0};
    std::vector<std::uint16_t> clock_sources;
    bool operator==(const ClockDomain&) const = default;
};

struct MemoryObject {
    std::string object_name;
    std::string localized_description;
    std::uint16_t memory_object_type{0};
    std::uint16_t target_descriptor_type{0};
    std::uint16_t target_descriptor_index{0};
    std::uint64_t start_address{0};
    std::uint64_t maximum_length{0};
    std::uint64_t length{0};
    std::string data_url;
    std::vector<std::uint8_t> data;
    bool operator==(const MemoryObject&) const = default;
};

struct Strings {
    std::vector<std::string> strings;  // at most seven
    bool operator==(const Strings&) const = default;
};

struct Locale {
    std::string locale_identifier;
    std::vector<Strings> locale_strings;
    bool operator==(const Locale&) const = default;
};

struct Configuration {
    std::string object_name;
    std::string localized_description;
    std::vector<AudioUnit> audio_units;
    std::vector<VideoUnit> video_units;
    std::vector<SensorUnit> sensor_units;
    std::vector<Stream> input_streams;
    std::vector<Stream> output_streams;
    std::vector<Jack> input_jacks;
    std::vector<Jack> output_jacks;
    std::vector<AvbInterface> avb_interfaces;
    std::vector<ClockSource> clock_sources;
    std::vector<SignalSelector> signal_selectors;
    std::vector<Mixer> mixers;
    std::vector<Matrix> matrices;
    std::vector<Splitter> splitters;
    std::vector<Combiner> combiners;
    std::vector<Demultiplexer> demultiplexers;
    std::vector<Multiplexer> multiplexers;
    std::vector<Transcoder> transcoders;
    std::vector<MemoryObject> memory_objects;
    std::vector<ClockDomain> clock_domains;
    std::vector<ControlBlock> control_blocks;
    std::vector<Control> controls;
    std::vector<Locale> locales;
    bool operator==(const Configuration&) const = default;
};

struct FeaturesFlags {
    std::uint32_t bits{0};
    bool operator==(const FeaturesFlags&) const = default;
};

struct MilanInfo {
    FeaturesFlags features_flags;
    std::uint32_t certification_version{0};
    bool operator==(const MilanInfo&) const = default;
};

struct Entity {
    std::uint64_t entity_id{0};
    std::uint64_t entity_model_id{0};
    std::uint32_t entity_capabilities{0};
    std::uint16_t talker_stream_sources{0};
    std::uint16_t talker_capabilities{0};
    std::uint16_t listener_stream_sinks{0};
    std::uint16_t listener_capabilities{0};
    std::uint32_t controller_capabilities{0};
    std::uint64_t association_id{0};
    std::string entity_name;
    std::string vendor_name;
    std::string model_name;
    std::string firmware_version;
    std::string group_name;
    std::string serial_number;
    std::uint16_t current_configuration{0};
    std::vector<Configuration> configurations;
    std::optional<MilanInfo> milan_info;
    bool operator==(const Entity&) const = default;
};

}  // namespace qz::strimo::avdecc::entity
