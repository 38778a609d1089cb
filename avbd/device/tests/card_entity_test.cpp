#include <gtest/gtest.h>

#include "avbd/device/entity.h"
#include "packet/aem_names.h"
#include "strimo/avdecc/entity/entity_model.h"
#include "strimo/avdecc/entity/json.h"

namespace qz::avbd {
namespace {

namespace model = strimo::avdecc::entity;
using packet::aem::DescriptorType;
using packet::aem::to_u16;

const net::MacAddress kMac0{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const net::MacAddress kMac1{0x00, 0x11, 0x22, 0x33, 0x44, 0x56};

model::Entity card(StreamNamingScheme scheme = StreamNamingScheme::dir_leading_pri_sec,
                   std::optional<std::vector<std::uint8_t>> logo = std::nullopt) {
    auto oem = default_oem_values("SN1", "1.2.3-v4");
    oem.stream_naming_scheme = scheme;
    oem.logo = std::move(logo);
    return build_card_entity(oem, kMac0, kMac1);
}

TEST(CardEntity, IdentityFromOemDefaultsAndPortMacs) {
    const auto e = card();
    EXPECT_EQ(e.entity_id, 0x001122FFFE334455ULL);
    EXPECT_EQ(e.entity_model_id, (std::uint64_t{kMakerOui} << 40) | 0xFFFED72000ULL);
    EXPECT_EQ(e.entity_name, "Quenta Zelo");
    EXPECT_EQ(e.model_name, "Quenta Zelo");
    EXPECT_EQ(e.vendor_name, "Telvar");
    EXPECT_EQ(e.serial_number, "SN1");
    EXPECT_EQ(e.firmware_version, "1.2.3-v4");
    EXPECT_EQ(e.entity_capabilities, 0x0000C58AU);
    EXPECT_EQ(e.talker_stream_sources, 34);
    EXPECT_EQ(e.listener_capabilities, 0x4801);
    ASSERT_TRUE(e.milan_info);
    EXPECT_EQ(e.milan_info->features_flags.bits, 3U);
    EXPECT_EQ(e.milan_info->certification_version, 0x01010000U);
    const auto& c = e.configurations.at(0);
    EXPECT_EQ(c.object_name, "Main Configuration");
    EXPECT_EQ(c.avb_interfaces.at(1).mac_address, kMac1);
    EXPECT_EQ(c.avb_interfaces.at(1).clock_identity, 0x001122FFFE334456ULL);
    EXPECT_EQ(c.avb_interfaces.at(0).log_sync_interval, -3);
    EXPECT_EQ(c.input_jacks.size(), 6U);
    EXPECT_EQ(c.input_jacks.at(5).object_name, "AES/EBU Input");
    EXPECT_EQ(c.input_jacks.at(5).jack_type, 0x000B);
    EXPECT_TRUE(c.output_jacks.empty());
    // No logo: no memory object, and address access is still announced.
    EXPECT_TRUE(c.memory_objects.empty());
    EXPECT_NE(e.entity_capabilities & 0x2U, 0U);
    EXPECT_EQ(c.locales.at(0).locale_identifier, "en");
}

TEST(CardEntity, StreamNamesPerScheme) {
    struct Case {
        StreamNamingScheme scheme;
        const char* input0;
        const char* input16;
        const char* input17;
        const char* input33;
        const char* output32;
    };
    const Case cases[] = {
        {StreamNamingScheme::dir_trailing_pri_sec, "Input Stream 1 (primary)",
         "Input Clock Stream (primary)", "Input Stream 1 (secondary)",
         "Input Clock Stream (secondary)", "Output Stream 16 (secondary)"},
        {StreamNamingScheme::dir_leading_pri_sec, "Primary Input Stream 1",
         "Primary Clock Input Stream", "Secondary Input Stream 1", "Secondary Clock Input Stream",
         "Secondary Output Stream 16"},
        {StreamNamingScheme::no_dir_trailing_pri_sec, "Stream 1 PRI", "Clock Reference Stream PRI",
         "Stream 1 SEC", "Clock Reference Stream SEC", "Stream 16 SEC"},
    };
    for (const auto& k : cases) {
        const auto e = card(k.scheme);
        const auto& c = e.configurations[0];
        EXPECT_EQ(c.input_streams[0].object_name, k.input0);
        EXPECT_EQ(c.input_streams[16].object_name, k.input16);
        EXPECT_EQ(c.input_streams[17].object_name, k.input17);
        EXPECT_EQ(c.input_streams[33].object_name, k.input33);
        EXPECT_EQ(c.output_streams[32].object_name, k.output32);
        // Clock sources 7-40 carry the stream input names.
        EXPECT_EQ(c.clock_sources[23].object_name, k.input16);
        EXPECT_EQ(c.clock_sources[40].object_name, k.input33);
    }
    EXPECT_EQ(parse_stream_naming_scheme("no_dir_trailing_pri_sec"),
              StreamNamingScheme::no_dir_trailing_pri_sec);
    EXPECT_FALSE(parse_stream_naming_scheme("dir_leading"));
}

TEST(CardEntity, StreamsFormatsAndRedundancy) {
    const auto e = card();
    const auto& c = e.configurations[0];
    ASSERT_EQ(c.input_streams.size(), 34U);
    ASSERT_EQ(c.output_streams.size(), 34U);
    for (std::size_t i = 0; i < 34; ++i) {
        const auto& in = c.input_streams[i];
        const bool clock = i % 17 == 16;
        EXPECT_EQ(in.redundant_streams,
                  std::vector<std::uint16_t>{static_cast<std::uint16_t>(i < 17 ? i + 17 : i - 17)});
        EXPECT_EQ(in.avb_interface_index, i < 17 ? 0 : 1);
        EXPECT_EQ(in.stream_flags, 0x0003);
        EXPECT_EQ(c.output_streams[i].stream_flags, 0x0002);
        EXPECT_EQ(in.stream_formats.size(), clock ? 2U : 24U);
        EXPECT_EQ(in.buffer_length, clock ? 3900000U : 2666000U);
        EXPECT_FALSE(in.presentation_time_offset);
    }
    EXPECT_EQ(c.input_streams[0].stream_formats[13], 0x0215022002006000ULL);
    EXPECT_EQ(c.input_streams[0].current_stream_format, 0x0205022002006000ULL);
    EXPECT_EQ(c.input_streams[33].current_stream_format, 0x041060010000BB80ULL);
}

TEST(CardEntity, ClustersMapsClockSourcesAndIdentify) {
    const auto e = card();
    const auto& c = e.configurations[0];
    const auto& unit = c.audio_units.at(0);
    EXPECT_EQ(unit.sampling_rates,
              (std::vector<std::uint32_t>{44100, 48000, 88200, 96000, 176400, 192000}));
    const auto& in = unit.input_stream_ports.at(0);
    const auto& out = unit.output_stream_ports.at(0);
    ASSERT_EQ(in.clusters.size(), 512U);
    EXPECT_EQ(in.clusters[511].object_name, "Input 512");
    EXPECT_EQ(out.clusters[0].object_name, "Output 1");
    EXPECT_EQ(in.clusters[0].format, 0x40);
    ASSERT_EQ(in.maps.size(), 6U);
    const std::size_t input_sizes[] = {176, 80, 0, 0, 0, 0};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(in.maps[i].audio_mapping.size(), input_sizes[i]) << i;
    }
    // Generation order: a primary mapping, then its secondary twin on the same cluster.
    EXPECT_EQ(in.maps[0].audio_mapping[0], (model::AudioMapping{0, 0, 0, 0}));
    EXPECT_EQ(in.maps[0].audio_mapping[1], (model::AudioMapping{17, 0, 0, 0}));
    EXPECT_EQ(in.maps[1].audio_mapping[0], (model::AudioMapping{11, 0, 88, 0}));
    ASSERT_EQ(out.maps.size(), 16U);
    for (const auto& map : out.maps) {
        EXPECT_EQ(map.audio_mapping.size(), 16U);
    }
    EXPECT_EQ(out.maps[8].audio_mapping[0], (model::AudioMapping{17, 0, 0, 0}));
    EXPECT_EQ(out.maps[15].audio_mapping.back(), (model::AudioMapping{32, 7, 127, 0}));

    ASSERT_EQ(c.clock_sources.size(), 41U);
    EXPECT_EQ(c.clock_sources[0].object_name, "Internal");
    EXPECT_EQ(c.clock_sources[6].object_name, "AES/EBU");
    EXPECT_EQ(c.clock_sources[6].clock_source_location_type, to_u16(DescriptorType::JACK_INPUT));
    EXPECT_EQ(c.clock_sources[6].clock_source_location_index, 5);
    EXPECT_EQ(c.clock_sources[24].clock_source_location_index, 17);
    EXPECT_EQ(c.clock_sources[24].clock_source_id & 0xFF, 24U);
    EXPECT_EQ(c.clock_domains.at(0).clock_sources.size(), 41U);

    // The Identify control is CONTROL 0: nothing before the configuration's controls has any.
    model::EntityModel m(e);
    auto identify = m.control(0);
    ASSERT_TRUE(identify);
    EXPECT_EQ((*identify)->object_name, "Identify");
    EXPECT_EQ((*identify)->control_type, 0x90E0F00000000001ULL);
    const auto& values = std::get<model::Linear<std::uint8_t>>((*identify)->values).values;
    ASSERT_EQ(values.size(), 1U);
    EXPECT_EQ(values[0].current, 0);
    EXPECT_EQ(values[0].default_value, 0);
}

TEST(CardEntity, LogoBecomesTheEntityImageReadableThroughTheHooks) {
    const std::vector<std::uint8_t> logo{0x89, 'P', 'N', 'G', 1, 2, 3};
    const auto e = card(StreamNamingScheme::dir_leading_pri_sec, logo);
    const auto& objects = e.configurations[0].memory_objects;
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(objects[0].object_name, "Entity Image");
    EXPECT_EQ(objects[0].memory_object_type, 10);
    EXPECT_EQ(objects[0].start_address, 0x4C4F474FU);
    EXPECT_EQ(objects[0].length, logo.size());
    EXPECT_EQ(objects[0].data, logo);
}

TEST(CardEntity, SavesLoadsAndSerialises) {
    const auto e = card(StreamNamingScheme::dir_leading_pri_sec, std::vector<std::uint8_t>(100, 7));
    const auto text = model::save(e);
    auto loaded = model::load(text);
    ASSERT_TRUE(loaded) << loaded.error().text();
    EXPECT_EQ(*loaded, e);

    model::EntityModel m(e);
    auto entity = m.read_descriptor(0, to_u16(DescriptorType::ENTITY), 0);
    ASSERT_TRUE(entity);
    EXPECT_EQ(entity->size(), 312U);
    // Vendor "Telvar" is string 0, model "Quenta Zelo" string 1.
    EXPECT_EQ((*entity)[112] << 8 | (*entity)[113], 0);
    EXPECT_EQ((*entity)[114] << 8 | (*entity)[115], 1);
    EXPECT_TRUE(m.read_descriptor(0, to_u16(DescriptorType::AUDIO_CLUSTER), 1023));
    EXPECT_FALSE(m.read_descriptor(0, to_u16(DescriptorType::AUDIO_CLUSTER), 1024));
    EXPECT_TRUE(m.read_descriptor(0, to_u16(DescriptorType::AUDIO_MAP), 21));
    EXPECT_FALSE(m.read_descriptor(0, to_u16(DescriptorType::AUDIO_MAP), 22));
    EXPECT_TRUE(m.read_descriptor(0, to_u16(DescriptorType::STRINGS), 0));
    EXPECT_EQ(e.configurations[0].locales[0].locale_strings.at(0).strings.at(0), "Telvar");
    // Every AUDIO_MAP fits one frame: at most 176 mappings.
    for (std::uint16_t i = 0; i < 22; ++i) {
        EXPECT_LE(m.read_descriptor(0, to_u16(DescriptorType::AUDIO_MAP), i)->size(),
                  8U + 176U * 8U);
    }
}

// The persisted file's member names and order, record by record.
TEST(CardEntity, JsonMembersInFileOrder) {
    const auto json = model::to_json(
        card(StreamNamingScheme::dir_leading_pri_sec, std::vector<std::uint8_t>{1, 2}));
    auto keys = [](const nlohmann::ordered_json& object) {
        std::vector<std::string> out;
        for (auto it = object.begin(); it != object.end(); ++it) {
            out.push_back(it.key());
        }
        return out;
    };
    using Keys = std::vector<std::string>;
    const auto& c = json["configurations"][0];
    const auto& unit = c["audio_units"][0];
    const auto& port = unit["input_stream_ports"][0];
    EXPECT_EQ(keys(json),
              (Keys{"entity_id", "entity_model_id", "entity_capabilities", "talker_stream_sources",
                    "talker_capabilities", "listener_stream_sinks", "listener_capabilities",
                    "controller_capabilities", "association_id", "entity_name", "vendor_name",
                    "model_name", "firmware_version", "group_name", "serial_number",
                    "current_configuration", "configurations", "milan_info"}));
    EXPECT_EQ(keys(json["milan_info"]), (Keys{"features_flags", "certification_version"}));
    EXPECT_EQ(keys(c), (Keys{"object_name",    "localized_description",
                             "audio_units",    "video_units",
                             "sensor_units",   "input_streams",
                             "output_streams", "input_jacks",
                             "output_jacks",   "avb_interfaces",
                             "clock_sources",  "signal_selectors",
                             "mixers",         "matrices",
                             "splitters",      "combiners",
                             "demultiplexers", "multiplexers",
                             "transcoders",    "memory_objects",
                             "clock_domains",  "control_blocks",
                             "controls",       "locales"}));
    EXPECT_EQ(keys(unit), (Keys{"object_name",
                                "localized_description",
                                "clock_domain_index",
                                "input_stream_ports",
                                "output_stream_ports",
                                "input_external_ports",
                                "output_external_ports",
                                "input_internal_ports",
                                "output_internal_ports",
                                "controls",
                                "signal_selectors",
                                "mixers",
                                "matrices",
                                "splitters",
                                "combiners",
                                "demultiplexers",
                                "multiplexers",
                                "transcoders",
                                "control_blocks",
                                "current_sampling_rate",
                                "sampling_rates"}));
    EXPECT_EQ(keys(port), (Keys{"clock_domain_index", "port_flags", "controls", "clusters", "maps",
                                "maps_dyn", "maps_dyn_partition"}));
    EXPECT_EQ(keys(port["clusters"][0]),
              (Keys{"object_name", "localized_description", "signal_type", "signal_index",
                    "signal_output", "path_latency", "block_latency", "channel_count", "format"}));
    EXPECT_EQ(keys(port["maps"][0]), (Keys{"audio_mapping"}));
    EXPECT_EQ(keys(port["maps"][0]["audio_mapping"][0]),
              (Keys{"stream_index", "stream_channel", "cluster_offset", "cluster_channel"}));
    EXPECT_EQ(keys(c["input_streams"][0]),
              (Keys{"object_name", "localized_description", "clock_domain_index", "stream_flags",
                    "current_stream_format", "backup_talker_entity_id0", "backup_talker_unique0",
                    "backup_talker_entity_id1", "backup_talker_unique1", "backup_talker_entity_id2",
                    "backup_talker_unique2", "backedup_talker_entity_id", "backedup_talker_unique",
                    "avb_interface_index", "buffer_length", "stream_formats",
                    "presentation_time_offset", "redundant_streams"}));
    EXPECT_EQ(keys(c["input_jacks"][0]), (Keys{"object_name", "localized_description", "jack_flags",
                                               "jack_type", "controls"}));
    EXPECT_EQ(keys(c["avb_interfaces"][0]),
              (Keys{"object_name", "localized_description", "mac_address", "clock_identity",
                    "interface_flags", "priority1", "clock_class", "offset_scaled_log_variance",
                    "clock_accuracy", "priority2", "domain_number", "log_sync_interval",
                    "log_announce_interval", "log_pdelay_interval", "port_number"}));
    EXPECT_EQ(
        keys(c["clock_sources"][0]),
        (Keys{"object_name", "localized_description", "clock_source_flags", "clock_source_type",
              "clock_source_id", "clock_source_location_type", "clock_source_location_index"}));
    EXPECT_EQ(keys(c["clock_domains"][0]), (Keys{"object_name", "localized_description",
                                                 "clock_source_index", "clock_sources"}));
    EXPECT_EQ(keys(c["memory_objects"][0]),
              (Keys{"object_name", "localized_description", "memory_object_type",
                    "target_descriptor_type", "target_descriptor_index", "start_address",
                    "maximum_length", "length", "data_url", "data"}));
    EXPECT_EQ(keys(c["controls"][0]),
              (Keys{"object_name", "localized_description", "block_latency", "control_latency",
                    "control_domain", "control_type", "reset_time", "signal_type", "signal_index",
                    "signal_output", "read_only", "unknown", "values"}));
    EXPECT_EQ(keys(c["controls"][0]["values"]["LinearUint8"][0]),
              (Keys{"minimum", "maximum", "step", "default", "current", "unit", "string"}));
    EXPECT_EQ(keys(c["locales"][0]), (Keys{"locale_identifier", "locale_strings"}));
    EXPECT_EQ(keys(c["locales"][0]["locale_strings"][0]), (Keys{"strings"}));
    // A few encodings: hex strings, numbers, arrays, null.
    EXPECT_EQ(c["input_streams"][0]["current_stream_format"], "0x205022002006000");
    EXPECT_EQ(c["input_streams"][0]["stream_flags"], "0x03");
    EXPECT_EQ(c["avb_interfaces"][0]["mac_address"],
              nlohmann::ordered_json::parse("[0,17,34,51,68,85]"));
    EXPECT_EQ(c["memory_objects"][0]["start_address"], "0x4c4f474f");
    EXPECT_EQ(c["memory_objects"][0]["data"], nlohmann::ordered_json::parse("[1,2]"));
    EXPECT_TRUE(c["input_streams"][0]["presentation_time_offset"].is_null());
    EXPECT_TRUE(port["maps_dyn_partition"].is_null());
    EXPECT_EQ(json["entity_capabilities"], "0xc58a");
}

}  // namespace
}  // namespace qz::avbd
