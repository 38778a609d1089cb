#include "avbd/device/entity.h"

#include <fmt/format.h>

#include <array>

#include "packet/aem_names.h"
#include "strimo/avdecc/entity/descriptors.h"

namespace qz::avbd {
namespace {

namespace model = strimo::avdecc::entity;
using packet::aem::DescriptorType;
using packet::aem::to_u16;

constexpr std::array<std::uint32_t, 6> kSamplingRates{44100, 48000, 88200, 96000, 176400, 192000};

constexpr std::array<std::uint64_t, 24> kAudioFormats{
    // IEC 61883-6 AM824: up to 8 channels, then 12, then 16.
    0x00A0010860000800, 0x00A0020860000800, 0x00A0030860000800, 0x00A0040860000800,
    0x00A0050860000800, 0x00A0060860000800, 0x00A0010C40000C00, 0x00A0020C40000C00,
    0x00A0030C40000C00, 0x00A0040C40000C00, 0x00A0011040001000, 0x00A0021040001000,
    // AAF, 32-bit integer: up to 8 channels, then 12, then 16.
    0x0214022002006000, 0x0215022002006000, 0x021602200200C000, 0x021702200200C000,
    0x0218022002018000, 0x0219022002018000, 0x0204022003006000, 0x0205022003006000,
    0x020602200300C000, 0x020702200300C000, 0x0204022004006000, 0x0205022004006000};
constexpr std::uint64_t kAudioCurrentFormat = 0x0205022002006000;
constexpr std::uint32_t kAudioBufferLength = 2666000;

// CRF audio sample clock at 48000 Hz and 44100 Hz.
constexpr std::array<std::uint64_t, 2> kClockFormats{0x041060010000BB80, 0x041060010000AC44};
constexpr std::uint32_t kClockBufferLength = 3900000;

constexpr std::uint16_t kStreamFlagsInput = 0x0003;   // CLOCK_SYNC_SOURCE, CLASS_A
constexpr std::uint16_t kStreamFlagsOutput = 0x0002;  // CLASS_A

constexpr std::uint16_t kClockSourceInternal = 0x0000;
constexpr std::uint16_t kClockSourceExternal = 0x0001;
constexpr std::uint16_t kClockSourceInputStream = 0x0002;

constexpr std::uint64_t kControlTypeIdentify = 0x90E0F00000000001;
constexpr std::uint16_t kMemoryObjectPngEntity = 0x000A;

const char* direction_word(StreamDirection direction) {
    return direction == StreamDirection::Input ? "Input" : "Output";
}

std::vector<model::AudioCluster> clusters(const char* prefix) {
    std::vector<model::AudioCluster> out(kClustersPerPort);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i].object_name = fmt::format("{} {}", prefix, i + 1);
        out[i].signal_type = 0xFFFF;
        out[i].channel_count = 1;
        out[i].format = 0x40;  // MBLA
    }
    return out;
}

// Each primary audio stream channel and its redundant twin on the secondary port feed the same
// cluster: stream s channel c and stream s + 17 channel c go to cluster 8s + c.
std::vector<model::AudioMapping> static_mappings() {
    std::vector<model::AudioMapping> out;
    for (std::uint16_t s = 0; s < kAudioStreamsPerPort; ++s) {
        for (std::uint16_t c = 0; c < 8; ++c) {
            const auto cluster = static_cast<std::uint16_t>(8 * s + c);
            out.push_back({s, c, cluster, 0});
            out.push_back({static_cast<std::uint16_t>(s + kStreamsPerPort), c, cluster, 0});
        }
    }
    return out;
}

struct Range {
    std::uint16_t first;
    std::uint16_t last;
};

// Splits the mappings into AUDIO_MAP chunks: a mapping goes into the first chunk whose range
// holds its key.
template <typename Key>
std::vector<model::AudioMap> chunk(const std::vector<model::AudioMapping>& mappings,
                                   const std::vector<Range>& ranges, Key key) {
    std::vector<model::AudioMap> maps(ranges.size());
    for (const auto& mapping : mappings) {
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            const auto k = key(mapping);
            if (k >= ranges[i].first && k <= ranges[i].last) {
                maps[i].audio_mapping.push_back(mapping);
                break;
            }
        }
    }
    return maps;
}

model::AudioStreamPort stream_port(const char* prefix, std::vector<model::AudioMap> maps) {
    model::AudioStreamPort port;
    port.clusters = clusters(prefix);
    port.maps = std::move(maps);
    return port;
}

model::AudioUnit audio_unit() {
    model::AudioUnit unit;
    unit.current_sampling_rate = 48000;
    unit.sampling_rates.assign(kSamplingRates.begin(), kSamplingRates.end());
    const auto mappings = static_mappings();

    // Input maps by cluster offset, 88 clusters (at most 176 mappings) a chunk.
    std::vector<Range> by_cluster;
    for (std::uint16_t first = 0; first < kClustersPerPort; first += 88) {
        by_cluster.push_back(
            {first, static_cast<std::uint16_t>(std::min<std::size_t>(first + 87, 511))});
    }
    unit.input_stream_ports.push_back(stream_port(
        "Input", chunk(mappings, by_cluster, [](const auto& m) { return m.cluster_offset; })));

    // Output maps by stream index, one chunk per pair of audio streams of each port.
    std::vector<Range> by_stream;
    for (std::uint16_t base : {std::uint16_t{0}, static_cast<std::uint16_t>(kStreamsPerPort)}) {
        for (std::uint16_t pair = 0; pair < kAudioStreamsPerPort / 2; ++pair) {
            by_stream.push_back({static_cast<std::uint16_t>(base + 2 * pair),
                                 static_cast<std::uint16_t>(base + 2 * pair + 1)});
        }
    }
    unit.output_stream_ports.push_back(stream_port(
        "Output", chunk(mappings, by_stream, [](const auto& m) { return m.stream_index; })));
    return unit;
}

std::vector<model::Stream> streams(const OemValues& oem, StreamDirection direction) {
    std::vector<model::Stream> out(kStreamCount);
    for (std::size_t i = 0; i < kStreamCount; ++i) {
        auto& s = out[i];
        const std::size_t port = i / kStreamsPerPort;
        const std::size_t slot = i % kStreamsPerPort;
        const bool clock = slot == kAudioStreamsPerPort;
        s.object_name = clock ? clock_stream_name(oem.stream_naming_scheme, port, direction)
                              : stream_name(oem.stream_naming_scheme, port, direction, slot + 1);
        s.stream_flags =
            direction == StreamDirection::Input ? kStreamFlagsInput : kStreamFlagsOutput;
        s.avb_interface_index = static_cast<std::uint16_t>(port);
        s.clock_domain_index = 0;
        if (clock) {
            s.stream_formats.assign(kClockFormats.begin(), kClockFormats.end());
            s.current_stream_format = kClockFormats[0];
            s.buffer_length = kClockBufferLength;
        } else {
            s.stream_formats.assign(kAudioFormats.begin(), kAudioFormats.end());
            s.current_stream_format = kAudioCurrentFormat;
            s.buffer_length = kAudioBufferLength;
        }
        // Index i and i + 17 are a redundant pair on the two ports.
        s.redundant_streams.push_back(
            static_cast<std::uint16_t>(port == 0 ? i + kStreamsPerPort : i - kStreamsPerPort));
    }
    return out;
}

model::Jack jack(const char* name, std::uint16_t type) {
    model::Jack j;
    j.object_name = name;
    j.jack_flags = 0x0001;  // CLOCK_SYNC_SOURCE
    j.jack_type = type;
    return j;
}

model::AvbInterface avb_interface(const net::MacAddress& mac) {
    model::AvbInterface a;
    a.object_name = "AVB Interface";
    a.mac_address = mac;
    a.clock_identity = eui64_from_mac(mac);
    a.interface_flags = 0x0007;  // GPTP_GRANDMASTER_SUPPORTED, GPTP_SUPPORTED, SRP_SUPPORTED
    a.priority1 = 248;
    a.clock_class = 248;
    a.offset_scaled_log_variance = 0x436A;
    a.clock_accuracy = 254;
    a.priority2 = 248;
    a.domain_number = 0;
    a.log_sync_interval = -3;
    a.log_announce_interval = 0;
    a.log_pdelay_interval = 0;
    a.port_number = 1;
    return a;
}

std::vector<model::ClockSource> clock_sources(const std::vector<model::Stream>& inputs) {
    std::vector<model::ClockSource> out;
    auto add = [&](std::string name, std::uint16_t type, DescriptorType location_type,
                   std::uint16_t location_index) {
        model::ClockSource c;
        c.object_name = std::move(name);
        c.clock_source_type = type;
        c.clock_source_id = (std::uint64_t{kMakerOui} << 40) | out.size();
        c.clock_source_location_type = to_u16(location_type);
        c.clock_source_location_index = location_index;
        out.push_back(std::move(c));
    };
    // The internal source has no location of its own; it names itself.
    add("Internal", kClockSourceInternal, DescriptorType::CLOCK_SOURCE, 0);
    const char* external[] = {"Word Clock", "MADI A1", "MADI A2", "MADI B1", "MADI B2", "AES/EBU"};
    for (std::uint16_t j = 0; j < 6; ++j) {
        add(external[j], kClockSourceExternal, DescriptorType::JACK_INPUT, j);
    }
    for (std::uint16_t i = 0; i < inputs.size(); ++i) {
        add(inputs[i].object_name, kClockSourceInputStream, DescriptorType::STREAM_INPUT, i);
    }
    return out;
}

model::Control identify_control() {
    model::Control c;
    c.object_name = "Identify";
    c.localized_description = "Identify on/off";
    c.control_type = kControlTypeIdentify;
    c.signal_type = 0xFFFF;
    model::LinearValue<std::uint8_t> value;
    value.minimum = 0;
    value.maximum = 255;
    value.step = 255;
    value.default_value = 0;
    value.current = 0;
    value.string = model::kNoString;
    c.values = model::Linear<std::uint8_t>{{value}};
    return c;
}

}  // namespace

std::optional<StreamNamingScheme> parse_stream_naming_scheme(std::string_view text) {
    if (text == "dir_trailing_pri_sec") {
        return StreamNamingScheme::dir_trailing_pri_sec;
    }
    if (text == "dir_leading_pri_sec") {
        return StreamNamingScheme::dir_leading_pri_sec;
    }
    if (text == "no_dir_trailing_pri_sec") {
        return StreamNamingScheme::no_dir_trailing_pri_sec;
    }
    return std::nullopt;
}

OemValues default_oem_values(std::string serial_number, std::string firmware_version) {
    OemValues oem;
    oem.model_name = "Quenta Zelo";
    oem.vendor_name = "Telvar";
    oem.default_entity_name = "Quenta Zelo";
    oem.serial_number = std::move(serial_number);
    oem.entity_model_id = (std::uint64_t{kMakerOui} << 40) | 0xFFFED72000ULL;
    oem.firmware_version = std::move(firmware_version);
    oem.stream_naming_scheme = StreamNamingScheme::dir_leading_pri_sec;
    return oem;
}

std::string stream_name(StreamNamingScheme scheme, std::size_t port, StreamDirection direction,
                        std::size_t number) {
    const char* d = direction_word(direction);
    switch (scheme) {
        case StreamNamingScheme::dir_trailing_pri_sec:
            return port == 0 ? fmt::format("{} Stream {} (primary)", d, number)
                             : fmt::format("{} Stream {} (secondary)", d, number);
        case StreamNamingScheme::dir_leading_pri_sec:
            return port == 0 ? fmt::format("Primary {} Stream {}", d, number)
                             : fmt::format("Secondary {} Stream {}", d, number);
        case StreamNamingScheme::no_dir_trailing_pri_sec:
            return port == 0 ? fmt::format("Stream {} PRI", number)
                             : fmt::format("Stream {} SEC", number);
    }
    return {};
}

std::string clock_stream_name(StreamNamingScheme scheme, std::size_t port,
                              StreamDirection direction) {
    const char* d = direction_word(direction);
    switch (scheme) {
        case StreamNamingScheme::dir_trailing_pri_sec:
            return port == 0 ? fmt::format("{} Clock Stream (primary)", d)
                             : fmt::format("{} Clock Stream (secondary)", d);
        case StreamNamingScheme::dir_leading_pri_sec:
            return port == 0 ? fmt::format("Primary Clock {} Stream", d)
                             : fmt::format("Secondary Clock {} Stream", d);
        case StreamNamingScheme::no_dir_trailing_pri_sec:
            return port == 0 ? std::string("Clock Reference Stream PRI")
                             : std::string("Clock Reference Stream SEC");
    }
    return {};
}

std::uint64_t eui64_from_mac(const net::MacAddress& mac) {
    const std::array<std::uint8_t, 8> bytes{mac[0], mac[1], mac[2], 0xFF,
                                            0xFE,   mac[3], mac[4], mac[5]};
    std::uint64_t out = 0;
    for (auto b : bytes) {
        out = (out << 8) | b;
    }
    return out;
}

model::Entity build_card_entity(const OemValues& oem, const net::MacAddress& port0_mac,
                                const net::MacAddress& port1_mac) {
    model::Entity e;
    e.entity_id = eui64_from_mac(port0_mac);
    e.entity_model_id = oem.entity_model_id;
    // ADDRESS_ACCESS, AEM, VENDOR_UNIQUE, CLASS_A, GPTP, AEM_IDENTIFY_CONTROL_INDEX_VALID and
    // AEM_INTERFACE_INDEX_VALID.
    e.entity_capabilities = 0x0000C58A;
    e.talker_stream_sources = kStreamCount;
    e.talker_capabilities = 0x4801;
    e.listener_stream_sinks = kStreamCount;
    e.listener_capabilities = 0x4801;
    e.controller_capabilities = 0;
    e.association_id = 0;
    e.entity_name = oem.default_entity_name;
    e.vendor_name = oem.vendor_name;
    e.model_name = oem.model_name;
    e.firmware_version = oem.firmware_version;
    e.group_name = "";
    e.serial_number = oem.serial_number;
    e.current_configuration = 0;
    e.milan_info = model::MilanInfo{model::FeaturesFlags{3}, 0x01010000};

    model::Configuration c;
    c.object_name = "Main Configuration";
    c.audio_units.push_back(audio_unit());
    c.input_streams = streams(oem, StreamDirection::Input);
    c.output_streams = streams(oem, StreamDirection::Output);
    c.input_jacks = {jack("Word Clock Input", 0x0009), jack("MADI A1 Input", 0x0006),
                     jack("MADI A2 Input", 0x0006),    jack("MADI B1 Input", 0x0006),
                     jack("MADI B2 Input", 0x0006),    jack("AES/EBU Input", 0x000B)};
    c.avb_interfaces = {avb_interface(port0_mac), avb_interface(port1_mac)};
    c.clock_sources = clock_sources(c.input_streams);
    model::ClockDomain domain;
    domain.object_name = "Clock Domain";
    domain.clock_source_index = 0;
    for (std::uint16_t i = 0; i < c.clock_sources.size(); ++i) {
        domain.clock_sources.push_back(i);
    }
    c.clock_domains.push_back(std::move(domain));
    c.controls.push_back(identify_control());
    if (oem.logo) {
        model::MemoryObject image;
        image.object_name = "Entity Image";
        image.memory_object_type = kMemoryObjectPngEntity;
        image.target_descriptor_type = to_u16(DescriptorType::ENTITY);
        image.target_descriptor_index = 0;
        image.start_address = kLogoStartAddress;
        image.length = oem.logo->size();
        image.maximum_length = oem.logo->size();
        image.data = *oem.logo;
        c.memory_objects.push_back(std::move(image));
    }
    model::Locale locale;
    locale.locale_identifier = "en";
    c.locales.push_back(std::move(locale));
    // The locale lists the strings that serialising generates, so the stored model shows them.
    c.locales[0].locale_strings = model::strings_descriptors(model::localized_strings(e, c));
    e.configurations.push_back(std::move(c));
    return e;
}

}  // namespace qz::avbd
