#include "strimo/avdecc/entity/json.h"

#include <fmt/format.h>

#include <charconv>
#include <concepts>
#include <limits>
#include <type_traits>
#include <utility>

namespace qz::strimo::avdecc::entity {

const std::array<std::string_view, std::variant_size_v<ControlValues>> kControlValueNames{
    "LinearInt8",     "LinearUint8",   "LinearInt16",    "LinearUint16",   "LinearInt32",
    "LinearUint32",   "LinearInt64",   "LinearUint64",   "LinearFloat",    "LinearDouble",
    "SelectorInt8",   "SelectorUint8", "SelectorInt16",  "SelectorUint16", "SelectorInt32",
    "SelectorUint32", "SelectorInt64", "SelectorUint64", "SelectorFloat",  "SelectorDouble",
    "SelectorString", "ArrayInt8",     "ArrayUint8",     "ArrayInt16",     "ArrayUint16",
    "ArrayInt32",     "ArrayUint32",   "ArrayInt64",     "ArrayUint64",    "ArrayFloat",
    "ArrayDouble",    "SmpteTime",     "SampleRate",     "Vendor"};

namespace {

using Json = nlohmann::ordered_json;

// Lists beyond what a 16-bit AEM index can address, and blobs beyond a sane memory object, are
// refused rather than allocated.
constexpr std::size_t kMaxListSize = 65535;
constexpr std::size_t kMaxBlobSize = 16 * 1024 * 1024;
constexpr std::size_t kMaxTextSize = 4096;
constexpr std::size_t kMaxStringsPerDescriptor = 7;

// Thrown only inside this file and turned into an EntityParseError by load().
struct ParseFailure {
    std::string message;
};

std::string hex(std::uint64_t value) {
    return fmt::format("0x{:02x}", value);
}

// ---- member lists, shared by the writer and the reader ------------------------------------

#define QZ_RECORD(Type)                                   \
    template <typename V, typename R>                     \
    requires std::is_same_v<std::remove_const_t<R>, Type> \
    void visit(V& v, R& r)

QZ_RECORD(Placeholder) {
    (void)v;
    (void)r;
}

template <typename V, typename R>
requires requires(R& r) {
    r.current;
    r.default_value;
    r.unit;
    r.string;
    r.minimum;
}
void visit_linear_or_array(V& v, R& r) {
    v.num("minimum", r.minimum);
    v.num("maximum", r.maximum);
    v.num("step", r.step);
    v.num("default", r.default_value);
    if constexpr (requires { r.current.size(); }) {
        v.num_list("current", r.current);
    } else {
        v.num("current", r.current);
    }
    v.num("unit", r.unit);
    v.num("string", r.string);
}

template <typename T>
struct IsValueRecord : std::false_type {};
template <typename T>
struct IsValueRecord<LinearValue<T>> : std::true_type {};
template <typename T>
struct IsValueRecord<ArrayValue<T>> : std::true_type {};
template <typename T>
struct IsSelector : std::false_type {};
template <typename T>
struct IsSelector<SelectorValue<T>> : std::true_type {};

template <typename V, typename R>
requires IsValueRecord<std::remove_const_t<R>>::value void visit(V& v, R& r) {
    visit_linear_or_array(v, r);
}

template <typename V, typename R>
requires IsSelector<std::remove_const_t<R>>::value void visit(V& v, R& r) {
    v.num("current", r.current);
    v.num("default", r.default_value);
    v.num_list("options", r.options);
    v.num("unit", r.unit);
}

QZ_RECORD(Vendor) {
    v.hex("vendor_id", r.vendor_id);
    v.num_list("blob", r.blob);
}

QZ_RECORD(Control) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.num("block_latency", r.block_latency);
    v.num("control_latency", r.control_latency);
    v.num("control_domain", r.control_domain);
    v.hex("control_type", r.control_type);
    v.num("reset_time", r.reset_time);
    v.hex("signal_type", r.signal_type);
    v.num("signal_index", r.signal_index);
    v.num("signal_output", r.signal_output);
    v.flag("read_only", r.read_only);
    v.flag("unknown", r.unknown);
    v.values("values", r.values);
}

QZ_RECORD(AudioCluster) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.hex("signal_type", r.signal_type);
    v.num("signal_index", r.signal_index);
    v.num("signal_output", r.signal_output);
    v.num("path_latency", r.path_latency);
    v.num("block_latency", r.block_latency);
    v.num("channel_count", r.channel_count);
    v.hex("format", r.format);
}

QZ_RECORD(AudioMapping) {
    v.num("stream_index", r.stream_index);
    v.num("stream_channel", r.stream_channel);
    v.num("cluster_offset", r.cluster_offset);
    v.num("cluster_channel", r.cluster_channel);
}

QZ_RECORD(AudioMap) {
    v.list("audio_mapping", r.audio_mapping);
}

QZ_RECORD(MapPartition) {
    v.num("start", r.start);
    v.num("end", r.end);
}

QZ_RECORD(AudioStreamPort) {
    v.num("clock_domain_index", r.clock_domain_index);
    v.num("port_flags", r.port_flags);
    v.list("controls", r.controls);
    v.list("clusters", r.clusters);
    v.list("maps", r.maps);
    v.list("maps_dyn", r.maps_dyn);
    v.optional("maps_dyn_partition", r.maps_dyn_partition);
}

template <typename V, typename R>
requires std::is_same_v<std::remove_const_t<R>, ExternalPort> ||
    std::is_same_v<std::remove_const_t<R>, InternalPort>
void visit(V& v, R& r) {
    v.num("clock_domain_index", r.clock_domain_index);
    v.num("port_flags", r.port_flags);
    v.list("controls", r.controls);
    v.hex("signal_type", r.signal_type);
    v.num("signal_index", r.signal_index);
    v.num("signal_output", r.signal_output);
    v.num("block_latency", r.block_latency);
    if constexpr (std::is_same_v<std::remove_const_t<R>, ExternalPort>) {
        v.num("jack_index", r.jack_index);
    } else {
        v.num("internal_index", r.internal_index);
    }
}

QZ_RECORD(AudioUnit) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.num("clock_domain_index", r.clock_domain_index);
    v.list("input_stream_ports", r.input_stream_ports);
    v.list("output_stream_ports", r.output_stream_ports);
    v.list("input_external_ports", r.input_external_ports);
    v.list("output_external_ports", r.output_external_ports);
    v.list("input_internal_ports", r.input_internal_ports);
    v.list("output_internal_ports", r.output_internal_ports);
    v.list("controls", r.controls);
    v.list("signal_selectors", r.signal_selectors);
    v.list("mixers", r.mixers);
    v.list("matrices", r.matrices);
    v.list("splitters", r.splitters);
    v.list("combiners", r.combiners);
    v.list("demultiplexers", r.demultiplexers);
    v.list("multiplexers", r.multiplexers);
    v.list("transcoders", r.transcoders);
    v.list("control_blocks", r.control_blocks);
    v.num("current_sampling_rate", r.current_sampling_rate);
    v.num_list("sampling_rates", r.sampling_rates);
}

QZ_RECORD(Stream) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.num("clock_domain_index", r.clock_domain_index);
    v.hex("stream_flags", r.stream_flags);
    v.hex("current_stream_format", r.current_stream_format);
    v.hex("backup_talker_entity_id0", r.backup_talker_entity_id0);
    v.num("backup_talker_unique0", r.backup_talker_unique0);
    v.hex("backup_talker_entity_id1", r.backup_talker_entity_id1);
    v.num("backup_talker_unique1", r.backup_talker_unique1);
    v.hex("backup_talker_entity_id2", r.backup_talker_entity_id2);
    v.num("backup_talker_unique2", r.backup_talker_unique2);
    v.hex("backedup_talker_entity_id", r.backedup_talker_entity_id);
    v.num("backedup_talker_unique", r.backedup_talker_unique);
    v.num("avb_interface_index", r.avb_interface_index);
    v.num("buffer_length", r.buffer_length);
    v.hex_list("stream_formats", r.stream_formats);
    v.optional_num("presentation_time_offset", r.presentation_time_offset);
    v.num_list("redundant_streams", r.redundant_streams);
}

QZ_RECORD(Jack) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.hex("jack_flags", r.jack_flags);
    v.hex("jack_type", r.jack_type);
    v.list("controls", r.controls);
}

QZ_RECORD(AvbInterface) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.mac("mac_address", r.mac_address);
    v.hex("clock_identity", r.clock_identity);
    v.hex("interface_flags", r.interface_flags);
    v.num("priority1", r.priority1);
    v.num("clock_class", r.clock_class);
    v.num("offset_scaled_log_variance", r.offset_scaled_log_variance);
    v.num("clock_accuracy", r.clock_accuracy);
    v.num("priority2", r.priority2);
    v.num("domain_number", r.domain_number);
    v.num("log_sync_interval", r.log_sync_interval);
    v.num("log_announce_interval", r.log_announce_interval);
    v.num("log_pdelay_interval", r.log_pdelay_interval);
    v.num("port_number", r.port_number);
}

QZ_RECORD(ClockSource) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.hex("clock_source_flags", r.clock_source_flags);
    v.hex("clock_source_type", r.clock_source_type);
    v.hex("clock_source_id", r.clock_source_id);
    v.num("clock_source_location_type", r.clock_source_location_type);
    v.num("clock_source_location_index", r.clock_source_location_index);
}

QZ_RECORD(ClockDomain) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.num("clock_source_index", r.clock_source_index);
    v.num_list("clock_sources", r.clock_sources);
}

QZ_RECORD(MemoryObject) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.hex("memory_object_type", r.memory_object_type);
    v.hex("target_descriptor_type", r.target_descriptor_type);
    v.num("target_descriptor_index", r.target_descriptor_index);
    v.hex("start_address", r.start_address);
    v.hex("maximum_length", r.maximum_length);
    v.hex("length", r.length);
    v.text("data_url", r.data_url);
    v.num_list("data", r.data, kMaxBlobSize);
}

QZ_RECORD(Strings) {
    v.text_list("strings", r.strings, kMaxStringsPerDescriptor);
}

QZ_RECORD(Locale) {
    v.text("locale_identifier", r.locale_identifier);
    v.list("locale_strings", r.locale_strings);
}

QZ_RECORD(Configuration) {
    v.text("object_name", r.object_name);
    v.text("localized_description", r.localized_description);
    v.list("audio_units", r.audio_units);
    v.list("video_units", r.video_units);
    v.list("sensor_units", r.sensor_units);
    v.list("input_streams", r.input_streams);
    v.list("output_streams", r.output_streams);
    v.list("input_jacks", r.input_jacks);
    v.list("output_jacks", r.output_jacks);
    v.list("avb_interfaces", r.avb_interfaces);
    v.list("clock_sources", r.clock_sources);
    v.list("signal_selectors", r.signal_selectors);
    v.list("mixers", r.mixers);
    v.list("matrices", r.matrices);
    v.list("splitters", r.splitters);
    v.list("combiners", r.combiners);
    v.list("demultiplexers", r.demultiplexers);
    v.list("multiplexers", r.multiplexers);
    v.list("transcoders", r.transcoders);
    v.list("memory_objects", r.memory_objects);
    v.list("clock_domains", r.clock_domains);
    v.list("control_blocks", r.control_blocks);
    v.list("controls", r.controls);
    v.list("locales", r.locales);
}

QZ_RECORD(FeaturesFlags) {
    v.num("bits", r.bits);
}

QZ_RECORD(MilanInfo) {
    v.record("features_flags", r.features_flags);
    v.num("certification_version", r.certification_version);
}

QZ_RECORD(Entity) {
    v.hex("entity_id", r.entity_id);
    v.hex("entity_model_id", r.entity_model_id);
    v.hex("entity_capabilities", r.entity_capabilities);
    v.num("talker_stream_sources", r.talker_stream_sources);
    v.hex("talker_capabilities", r.talker_capabilities);
    v.num("listener_stream_sinks", r.listener_stream_sinks);
    v.hex("listener_capabilities", r.listener_capabilities);
    v.hex("controller_capabilities", r.controller_capabilities);
    v.hex("association_id", r.association_id);
    v.text("entity_name", r.entity_name);
    v.text("vendor_name", r.vendor_name);
    v.text("model_name", r.model_name);
    v.text("firmware_version", r.firmware_version);
    v.text("group_name", r.group_name);
    v.text("serial_number", r.serial_number);
    v.num("current_configuration", r.current_configuration);
    v.list("configurations", r.configurations);
    v.optional("milan_info", r.milan_info);
}

#undef QZ_RECORD

// The payload of each control value type, visited under the type's name.
template <typename V, typename T>
void visit_values(V& v, std::string_view name, T& alt) {
    using A = std::remove_const_t<T>;
    if constexpr (requires { alt.values.size(); } && !std::is_same_v<A, SmpteTime>) {
        v.list(name, alt.values);
    } else if constexpr (std::is_same_v<A, SmpteTime>) {
        v.num_list(name, alt.values);
    } else if constexpr (std::is_same_v<A, Vendor>) {
        v.record(name, alt);
    } else {
        v.record(name, alt.value);
    }
}

// ---- writer --------------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(Json& out) : out_(out) {}

    template <typename T>
    void hex(std::string_view name, const T& value) {
        out_[std::string(name)] = entity::hex(static_cast<std::uint64_t>(value));
    }
    template <typename T>
    void num(std::string_view name, const T& value) {
        out_[std::string(name)] = value;
    }
    void text(std::string_view name, const std::string& value) { out_[std::string(name)] = value; }
    void flag(std::string_view name, bool value) { out_[std::string(name)] = value; }
    void mac(std::string_view name, const std::array<std::uint8_t, 6>& value) {
        out_[std::string(name)] = value;
    }
    template <typename T>
    void num_list(std::string_view name, const std::vector<T>& values,
                  std::size_t /*limit*/ = kMaxListSize) {
        out_[std::string(name)] = values;
    }
    void hex_list(std::string_view name, const std::vector<std::uint64_t>& values) {
        Json array = Json::array();
        for (auto value : values) {
            array.push_back(entity::hex(value));
        }
        out_[std::string(name)] = std::move(array);
    }
    void text_list(std::string_view name, const std::vector<std::string>& values,
                   std::size_t /*limit*/) {
        out_[std::string(name)] = values;
    }
    template <typename R>
    void record(std::string_view name, const R& value) {
        out_[std::string(name)] = write(value);
    }
    template <typename R>
    void list(std::string_view name, const std::vector<R>& values) {
        Json array = Json::array();
        for (const auto& value : values) {
            array.push_back(write(value));
        }
        out_[std::string(name)] = std::move(array);
    }
    template <typename R>
    void optional(std::string_view name, const std::optional<R>& value) {
        out_[std::string(name)] = value ? write(*value) : Json(nullptr);
    }
    template <typename T>
    void optional_num(std::string_view name, const std::optional<T>& value) {
        out_[std::string(name)] = value ? Json(*value) : Json(nullptr);
    }
    void values(std::string_view name, const ControlValues& values) {
        Json object = Json::object();
        Writer inner(object);
        std::visit(
            [&](const auto& alt) { visit_values(inner, kControlValueNames[values.index()], alt); },
            values);
        out_[std::string(name)] = std::move(object);
    }

    template <typename R>
    static Json write(const R& value) {
        Json object = Json::object();
        Writer writer(object);
        visit(writer, value);
        return object;
    }

private:
    Json& out_;
};

// ---- reader --------------------------------------------------------------------------------

template <typename T>
T parse_number(const Json& node, const std::string& where) {
    if constexpr (std::is_floating_point_v<T>) {
        if (!node.is_number()) {
            throw ParseFailure{where + ": expected a number"};
        }
        return static_cast<T>(node.get<double>());
    } else {
        if (node.is_number_unsigned()) {
            const auto value = node.get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                throw ParseFailure{fmt::format("{}: {} is out of range", where, value)};
            }
            return static_cast<T>(value);
        }
        if (node.is_number_integer()) {
            const auto value = node.get<std::int64_t>();
            if (!std::in_range<T>(value)) {
                throw ParseFailure{fmt::format("{}: {} is out of range", where, value)};
            }
            return static_cast<T>(value);
        }
        throw ParseFailure{where + ": expected an integer"};
    }
}

template <typename T>
T parse_hex(const Json& node, const std::string& where) {
    if (node.is_number_integer()) {
        return parse_number<T>(node, where);
    }
    if (!node.is_string()) {
        throw ParseFailure{where + ": expected a hexadecimal string or a number"};
    }
    const auto& text = node.get_ref<const std::string&>();
    if (text.size() < 3 || text.size() > 18 || text[0] != '0' ||
        (text[1] != 'x' && text[1] != 'X')) {
        throw ParseFailure{fmt::format("{}: \"{}\" is not a 0x-prefixed hexadecimal value", where,
                                       text.substr(0, 32))};
    }
    std::uint64_t value = 0;
    const char* first = text.data() + 2;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, value, 16);
    if (ec != std::errc{} || end != last) {
        throw ParseFailure{fmt::format("{}: \"{}\" is not a hexadecimal value", where, text)};
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
        throw ParseFailure{fmt::format("{}: {} is out of range", where, text)};
    }
    return static_cast<T>(value);
}

class Reader {
public:
    Reader(const Json& in, std::string path) : in_(in), path_(std::move(path)) {
        if (!in_.is_object()) {
            throw ParseFailure{(path_.empty() ? std::string("entity") : path_) +
                               ": expected an object"};
        }
    }

    template <typename T>
    void hex(std::string_view name, T& value) {
        value = parse_hex<T>(member(name), where(name));
    }
    template <typename T>
    void num(std::string_view name, T& value) {
        value = parse_number<T>(member(name), where(name));
    }
    void text(std::string_view name, std::string& value) {
        value = parse_text(member(name), where(name));
    }
    void flag(std::string_view name, bool& value) {
        const auto& node = member(name);
        if (!node.is_boolean()) {
            throw ParseFailure{where(name) + ": expected true or false"};
        }
        value = node.get<bool>();
    }
    void mac(std::string_view name, std::array<std::uint8_t, 6>& value) {
        const auto& node = array_member(name, value.size());
        if (node.size() != value.size()) {
            throw ParseFailure{where(name) + ": expected 6 bytes"};
        }
        for (std::size_t i = 0; i < value.size(); ++i) {
            value[i] = parse_number<std::uint8_t>(node[i], item(name, i));
        }
    }
    template <typename T>
    void num_list(std::string_view name, std::vector<T>& values, std::size_t limit = kMaxListSize) {
        const auto& node = array_member(name, limit);
        values.clear();
        values.reserve(node.size());
        for (std::size_t i = 0; i < node.size(); ++i) {
            values.push_back(parse_number<T>(node[i], item(name, i)));
        }
    }
    void hex_list(std::string_view name, std::vector<std::uint64_t>& values) {
        const auto& node = array_member(name, kMaxListSize);
        values.clear();
        for (std::size_t i = 0; i < node.size(); ++i) {
            values.push_back(parse_hex<std::uint64_t>(node[i], item(name, i)));
        }
    }
    void text_list(std::string_view name, std::vector<std::string>& values, std::size_t limit) {
        const auto& node = array_member(name, limit);
        values.clear();
        for (std::size_t i = 0; i < node.size(); ++i) {
            values.push_back(parse_text(node[i], item(name, i)));
        }
    }
    template <typename R>
    void record(std::string_view name, R& value) {
        value = read<R>(member(name), where(name));
    }
    template <typename R>
    void list(std::string_view name, std::vector<R>& values) {
        const auto& node = array_member(name, kMaxListSize);
        values.clear();
        values.reserve(node.size());
        for (std::size_t i = 0; i < node.size(); ++i) {
            values.push_back(read<R>(node[i], item(name, i)));
        }
    }
    template <typename R>
    void optional(std::string_view name, std::optional<R>& value) {
        const auto& node = member(name);
        value = node.is_null() ? std::nullopt : std::optional<R>(read<R>(node, where(name)));
    }
    template <typename T>
    void optional_num(std::string_view name, std::optional<T>& value) {
        const auto& node = member(name);
        value =
            node.is_null() ? std::nullopt : std::optional<T>(parse_number<T>(node, where(name)));
    }
    void values(std::string_view name, ControlValues& values);

    template <typename R>
    static R read(const Json& node, const std::string& path) {
        R value{};
        Reader reader(node, path);
        visit(reader, value);
        return value;
    }

private:
    std::string where(std::string_view name) const {
        return path_.empty() ? std::string(name) : fmt::format("{}.{}", path_, name);
    }
    std::string item(std::string_view name, std::size_t i) const {
        return fmt::format("{}[{}]", where(name), i);
    }
    const Json& member(std::string_view name) const {
        auto found = in_.find(name);
        if (found == in_.end()) {
            throw ParseFailure{where(name) + ": missing"};
        }
        return *found;
    }
    const Json& array_member(std::string_view name, std::size_t limit) const {
        const auto& node = member(name);
        if (!node.is_array()) {
            throw ParseFailure{where(name) + ": expected an array"};
        }
        if (node.size() > limit) {
            throw ParseFailure{fmt::format("{}: {} elements, at most {} allowed", where(name),
                                           node.size(), limit)};
        }
        return node;
    }
    static std::string parse_text(const Json& node, const std::string& where) {
        if (!node.is_string()) {
            throw ParseFailure{where + ": expected a string"};
        }
        const auto& text = node.get_ref<const std::string&>();
        if (text.size() > kMaxTextSize) {
            throw ParseFailure{fmt::format("{}: text of {} bytes is too long", where, text.size())};
        }
        return text;
    }

    const Json& in_;
    std::string path_;
};

template <std::size_t I>
ControlValues read_alternative(Reader& reader, std::string_view name) {
    std::variant_alternative_t<I, ControlValues> alt{};
    visit_values(reader, name, alt);
    return ControlValues(std::in_place_index<I>, std::move(alt));
}

template <std::size_t... I>
constexpr auto make_alternative_readers(std::index_sequence<I...>) {
    return std::array<ControlValues (*)(Reader&, std::string_view), sizeof...(I)>{
        &read_alternative<I>...};
}

void Reader::values(std::string_view name, ControlValues& values) {
    static constexpr auto kReaders =
        make_alternative_readers(std::make_index_sequence<std::variant_size_v<ControlValues>>{});
    const auto& node = member(name);
    if (!node.is_object() || node.size() != 1) {
        throw ParseFailure{where(name) + ": expected an object with one value type"};
    }
    const auto& key = node.begin().key();
    for (std::size_t i = 0; i < kControlValueNames.size(); ++i) {
        if (kControlValueNames[i] == key) {
            Reader inner(node, where(name));
            values = kReaders[i](inner, kControlValueNames[i]);
            return;
        }
    }
    throw ParseFailure{fmt::format("{}: unknown value type \"{}\"", where(name), key)};
}

}  // namespace

Json to_json(const Entity& entity) {
    return Writer::write(entity);
}

std::string save(const Entity& entity) {
    return to_json(entity).dump();
}

std::expected<Entity, Error> load(std::string_view text) {
    try {
        const auto json = Json::parse(text.begin(), text.end());
        return Reader::read<Entity>(json, "");
    } catch (const ParseFailure& failure) {
        return std::unexpected(Error{ErrorKind::EntityParseError, failure.message});
    } catch (const nlohmann::json::exception& e) {
        return std::unexpected(Error{ErrorKind::EntityParseError, e.what()});
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error{ErrorKind::EntityParseError, "out of memory"});
    }
}

}  // namespace qz::strimo::avdecc::entity
