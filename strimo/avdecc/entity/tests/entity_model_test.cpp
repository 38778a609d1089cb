#include "strimo/avdecc/entity/entity_model.h"

#include <gtest/gtest.h>

#include <string>

#include "packet/aem_names.h"
#include "strimo/avdecc/entity/json.h"

namespace qz::strimo::avdecc::entity {
namespace {

using packet::aem::DescriptorType;
using packet::aem::to_u16;

std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{u16(b, at)} << 16) | u16(b, at + 2);
}
std::string text(std::span<const std::uint8_t> b, std::size_t at, std::size_t size = 64) {
    std::string out(b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(at + size));
    return out.substr(0, out.find('\0'));
}

Control control(std::string name, std::string description = {}) {
    Control c;
    c.object_name = std::move(name);
    c.localized_description = std::move(description);
    c.values = Linear<std::uint8_t>{{LinearValue<std::uint8_t>{0, 255, 255, 0, 1, 0, 0xFFFF}}};
    return c;
}

// A small model with one of everything that changes numbering: controls at every level, two
// stream ports with clusters and maps, and repeated and distinct descriptions.
Entity small_entity() {
    Entity e;
    e.entity_id = 0x0011'22FF'FE33'4455;
    e.entity_model_id = 5;
    e.entity_capabilities = 300;
    e.entity_name = "Unit";
    e.vendor_name = "Vendor";
    e.model_name = "Model";
    Configuration c;
    c.object_name = "Config";
    AudioUnit unit;
    unit.controls = {control("AU control", "shared")};
    unit.sampling_rates = {48000, 96000};
    AudioStreamPort in;
    in.controls = {control("port control")};
    in.clusters.resize(3);
    in.maps = {AudioMap{{{0, 0, 0, 0}, {0, 1, 1, 0}}}, AudioMap{}};
    in.maps_dyn = {{1, 0, 2, 0}};
    in.maps_dyn_partition = MapPartition{2, 2};
    AudioStreamPort out;
    out.clusters.resize(2);
    out.maps = {AudioMap{{{0, 0, 0, 0}}}};
    unit.input_stream_ports = {in};
    unit.output_stream_ports = {out};
    c.audio_units = {unit};
    Stream s;
    s.object_name = "In";
    s.localized_description = "shared";
    s.stream_formats = {0x0205022002006000, 0x00A0020860000800};
    s.current_stream_format = 0x0205022002006000;
    s.presentation_time_offset = 2000000;
    s.redundant_streams = {1};
    c.input_streams = {s, s};
    c.input_streams[1].presentation_time_offset.reset();
    Jack jack;
    jack.object_name = "Jack";
    jack.controls = {control("jack control", "jack")};
    c.input_jacks = {jack};
    c.clock_domains = {ClockDomain{"Domain", "", 0, {0}}};
    c.controls = {control("Identify", "Identify on/off")};
    Control selector = control("Selector");
    selector.values = Selector<std::int16_t>{SelectorValue<std::int16_t>{-2, 1, {-2, 1, 7}, 0}};
    Control array = control("Array");
    array.values = Array<double>{ArrayValue<double>{0.0, 1.0, 0.25, 0.5, {0.5, 0.75}, 0, 0}};
    c.controls.push_back(selector);
    c.controls.push_back(array);
    c.memory_objects = {MemoryObject{"Image", "", 10, 0, 0, 0x4C4F474F, 4, 3, "", {1, 2, 3}}};
    c.locales = {Locale{"en", {}}};
    e.configurations = {c};
    e.milan_info = MilanInfo{FeaturesFlags{3}, 0x01010000};
    return e;
}

TEST(EntityJson, RoundTripsWithFixedOrderAndHexForm) {
    auto entity = small_entity();
    const auto json = to_json(entity);
    // Member order is the record order, hex fields are 0x-strings of at least two digits.
    auto first = json.begin();
    EXPECT_EQ(first.key(), "entity_id");
    EXPECT_EQ(json.back(), to_json(entity)["milan_info"]);
    EXPECT_EQ(json["entity_model_id"], "0x05");
    EXPECT_EQ(json["entity_capabilities"], "0x12c");
    EXPECT_EQ(json["entity_id"], "0x1122fffe334455");  // no zero padding beyond two digits
    EXPECT_EQ(json["milan_info"]["features_flags"]["bits"], 3);
    EXPECT_TRUE(
        json["configurations"][0]["input_streams"][1]["presentation_time_offset"].is_null());

    auto loaded = load(save(entity));
    ASSERT_TRUE(loaded) << loaded.error().text();
    EXPECT_EQ(*loaded, entity);

    entity.milan_info.reset();
    EXPECT_TRUE(to_json(entity)["milan_info"].is_null());
    auto without = load(save(entity));
    ASSERT_TRUE(without);
    EXPECT_EQ(*without, entity);
}

TEST(EntityJson, ReaderTakesNumbersForHexFields) {
    auto json = to_json(small_entity());
    json["entity_id"] = 4822678189205111ULL;
    json["configurations"][0]["input_streams"][0]["stream_formats"][0] = 7;
    auto loaded = load(json.dump());
    ASSERT_TRUE(loaded) << loaded.error().text();
    EXPECT_EQ(loaded->entity_id, 4822678189205111ULL);
    EXPECT_EQ(loaded->configurations[0].input_streams[0].stream_formats[0], 7U);
}

TEST(EntityJson, MalformedInputGivesParseErrorWithTheReason) {
    const auto good = to_json(small_entity());
    struct Case {
        const char* what;
        std::function<void(nlohmann::ordered_json&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"wrong type", [](auto& j) { j["entity_id"] = true; }, "entity_id"},
        {"bad hex", [](auto& j) { j["entity_model_id"] = "0xzz"; }, "entity_model_id"},
        {"hex too wide", [](auto& j) { j["talker_capabilities"] = "0x10000"; }, "out of range"},
        {"hex too long", [](auto& j) { j["entity_id"] = "0x1000000000000000000"; }, "entity_id"},
        {"missing member", [](auto& j) { j.erase("serial_number"); }, "serial_number: missing"},
        {"negative count", [](auto& j) { j["talker_stream_sources"] = -1; }, "out of range"},
        {"fraction", [](auto& j) { j["current_configuration"] = 0.5; }, "expected an integer"},
        {"byte out of range",
         [](auto& j) { j["configurations"][0]["memory_objects"][0]["data"][0] = 256; }, "data[0]"},
        {"array not object", [](auto& j) { j["configurations"][0] = 3; }, "configurations[0]"},
        {"eight strings",
         [](auto& j) {
             j["configurations"][0]["locales"][0]["locale_strings"] = nlohmann::ordered_json::parse(
                 R"([{"strings":["1","2","3","4","5","6","7","8"]}])");
         },
         "at most 7"},
        {"unknown value type",
         [](auto& j) {
             j["configurations"][0]["controls"][0]["values"] =
                 nlohmann::ordered_json::parse(R"({"LinearUint9":[]})");
         },
         "LinearUint9"},
        {"two value types",
         [](auto& j) {
             j["configurations"][0]["controls"][0]["values"] =
                 nlohmann::ordered_json::parse(R"({"LinearUint8":[],"LinearInt8":[]})");
         },
         "one value type"},
        {"null for a required record", [](auto& j) { j["configurations"] = nullptr; },
         "configurations"},
        {"partition shape",
         [](auto& j) {
             j["configurations"][0]["audio_units"][0]["input_stream_ports"][0]
              ["maps_dyn_partition"] = nlohmann::ordered_json::parse(R"({"start":1})");
         },
         "end: missing"},
    };
    for (const auto& c : cases) {
        auto json = good;
        c.spoil(json);
        auto loaded = load(json.dump());
        ASSERT_FALSE(loaded) << c.what;
        EXPECT_EQ(loaded.error().kind, ErrorKind::EntityParseError) << c.what;
        EXPECT_NE(loaded.error().text().find(c.reason), std::string::npos)
            << c.what << ": " << loaded.error().text();
    }
    for (const char* text : {"", "{", "[]", "null", "{\"entity_id\":", "\xff"}) {
        auto loaded = load(text);
        ASSERT_FALSE(loaded) << text;
        EXPECT_EQ(loaded.error().kind, ErrorKind::EntityParseError);
    }
}

TEST(Descriptors, NumberingBasesAndCountsFollowTheTraversal) {
    EntityModel model(small_entity());
    auto read = [&](DescriptorType type, std::uint16_t index) {
        auto bytes = model.read_descriptor(0, to_u16(type), index);
        EXPECT_TRUE(bytes) << packet::aem::descriptor_type_name(to_u16(type)) << " " << index;
        return bytes.value_or(std::span<const std::uint8_t>{});
    };
    // Controls: audio unit 0, input stream port 1, jack 2, configuration 3-5.
    EXPECT_EQ(text(read(DescriptorType::CONTROL, 0), 4), "AU control");
    EXPECT_EQ(text(read(DescriptorType::CONTROL, 1), 4), "port control");
    EXPECT_EQ(text(read(DescriptorType::CONTROL, 2), 4), "jack control");
    EXPECT_EQ(text(read(DescriptorType::CONTROL, 3), 4), "Identify");
    EXPECT_FALSE(model.read_descriptor(0, to_u16(DescriptorType::CONTROL), 6));

    const auto unit = read(DescriptorType::AUDIO_UNIT, 0);
    EXPECT_EQ(u16(unit, 96), 1);  // number_of_controls
    EXPECT_EQ(u16(unit, 98), 0);  // base_control
    EXPECT_EQ(u32(unit, 136), 48000U);
    EXPECT_EQ(u16(unit, 142), 2);  // sampling_rates_count
    EXPECT_EQ(u32(unit, 148), 96000U);
    EXPECT_EQ(unit.size(), 152U);

    const auto out_port = read(DescriptorType::STREAM_PORT_OUTPUT, 0);
    EXPECT_EQ(u16(out_port, 12), 2);  // number_of_clusters
    EXPECT_EQ(u16(out_port, 14), 3);  // base_cluster: after the input port's three
    EXPECT_EQ(u16(out_port, 16), 1);  // number_of_maps
    EXPECT_EQ(u16(out_port, 18), 2);  // base_map
    const auto in_port = read(DescriptorType::STREAM_PORT_INPUT, 0);
    EXPECT_EQ(u16(in_port, 10), 1);  // base_control
    const auto jack = read(DescriptorType::JACK_INPUT, 0);
    EXPECT_EQ(u16(jack, 74), 1);
    EXPECT_EQ(u16(jack, 76), 2);
    const auto map = read(DescriptorType::AUDIO_MAP, 0);
    EXPECT_EQ(u16(map, 6), 2);
    EXPECT_EQ(u16(map, 8 + 8 + 6), 0);  // second mapping's cluster_channel
    EXPECT_EQ(u16(map, 8 + 8 + 4), 1);  // second mapping's cluster_offset

    const auto configuration = read(DescriptorType::CONFIGURATION, 0);
    const auto counts = u16(configuration, 70);
    std::map<std::uint16_t, std::uint16_t> listed;
    for (std::uint16_t i = 0; i < counts; ++i) {
        listed[u16(configuration, 74 + 4 * i)] = u16(configuration, 76 + 4 * i);
    }
    const std::map<std::uint16_t, std::uint16_t> expected{
        {to_u16(DescriptorType::AUDIO_UNIT), 1},   {to_u16(DescriptorType::STREAM_INPUT), 2},
        {to_u16(DescriptorType::JACK_INPUT), 1},   {to_u16(DescriptorType::MEMORY_OBJECT), 1},
        {to_u16(DescriptorType::CLOCK_DOMAIN), 1}, {to_u16(DescriptorType::CONTROL), 3},
        {to_u16(DescriptorType::LOCALE), 1}};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(configuration.size(), 74U + 4U * counts);

    const auto stream = read(DescriptorType::STREAM_INPUT, 1);
    EXPECT_EQ(u16(stream, 82), 136);  // formats_offset
    EXPECT_EQ(u16(stream, 84), 2);
    EXPECT_EQ(u16(stream, 132), 136 + 16);  // redundant_offset
    EXPECT_EQ(u16(stream, 134), 1);
    EXPECT_EQ(u16(stream, 152), 1);
}

TEST(Descriptors, LocalizedStringsAreSharedAndNumberedInSevens) {
    auto entity = small_entity();
    // In traversal order: vendor 0, model 1, "shared" 2 (audio unit control, then stream 0),
    // "s5" 3 (stream 1), "jack" 4 (jack control), "s6" 5 (memory object), "s7" 6 (clock
    // domain), and "Identify on/off" 7, the eighth distinct string.
    auto& c = entity.configurations[0];
    c.input_streams[1].localized_description = "s5";
    c.memory_objects[0].localized_description = "s6";
    c.clock_domains[0].localized_description = "s7";
    EntityModel model(entity);
    auto ref = [&](DescriptorType type, std::uint16_t index, std::size_t at) {
        return u16(model.read_descriptor(0, to_u16(type), index).value(), at);
    };
    const auto e = model.read_descriptor(0, to_u16(DescriptorType::ENTITY), 0).value();
    EXPECT_EQ(u16(e, 112), 0);
    EXPECT_EQ(u16(e, 114), 1);
    EXPECT_EQ(ref(DescriptorType::CONTROL, 0, 68), 2);       // the audio unit's control
    EXPECT_EQ(ref(DescriptorType::STREAM_INPUT, 0, 68), 2);  // shared text, shared reference
    EXPECT_EQ(ref(DescriptorType::STREAM_INPUT, 1, 68), 3);
    EXPECT_EQ(ref(DescriptorType::CONTROL, 2, 68), 4);  // the jack's control
    EXPECT_EQ(ref(DescriptorType::MEMORY_OBJECT, 0, 68), 5);
    EXPECT_EQ(ref(DescriptorType::CLOCK_DOMAIN, 0, 68), 6);
    // The eighth distinct string (number 7) is STRINGS 1 slot 0: reference 8.
    EXPECT_EQ(ref(DescriptorType::CONTROL, 3, 68), 8);
    EXPECT_EQ(ref(DescriptorType::CONTROL, 1, 68), kNoString);  // no description

    const auto locale = model.read_descriptor(0, to_u16(DescriptorType::LOCALE), 0).value();
    EXPECT_EQ(u16(locale, 68), 2);  // number_of_strings
    EXPECT_EQ(u16(locale, 70), 0);  // base_strings
    const auto second = model.read_descriptor(0, to_u16(DescriptorType::STRINGS), 1).value();
    EXPECT_EQ(second.size(), 4U + 7U * 64U);
    EXPECT_EQ(text(second, 4), "Identify on/off");
    EXPECT_EQ(text(second, 4 + 64), "");
    const auto first = model.read_descriptor(0, to_u16(DescriptorType::STRINGS), 0).value();
    EXPECT_EQ(text(first, 4 + 2 * 64), "shared");
}

TEST(Descriptors, NamesFillSixtyFourBytesAndCutOnCharacters) {
    auto entity = small_entity();
    entity.entity_name = std::string(64, 'n');
    // 63 ASCII bytes then a two-byte character: only the ASCII part fits.
    entity.group_name = std::string(63, 'g') + "\xC3\xA9" + "tail";
    EntityModel model(entity);
    const auto e = model.read_descriptor(0, to_u16(DescriptorType::ENTITY), 0).value();
    EXPECT_EQ(e.size(), 312U);
    EXPECT_EQ(std::string(e.begin() + 48, e.begin() + 112), std::string(64, 'n'));
    EXPECT_EQ(e[112], 0);  // vendor reference follows directly, no terminator
    EXPECT_EQ(text(e, 180), std::string(63, 'g'));
    EXPECT_EQ(e[180 + 63], 0);
}

TEST(EntityModelState, ChangeMarksDirtyAndRebuildsBeforeTheNextRead) {
    EntityModel model(small_entity());
    const auto entity_type = to_u16(DescriptorType::ENTITY);
    EXPECT_EQ(text(model.read_descriptor(0, entity_type, 0).value(), 48), "Unit");
    EXPECT_FALSE(model.dirty());
    model.read_descriptor(5, entity_type, 0);  // any configuration index reads the entity
    EXPECT_EQ(model.cache_rebuilds(), 1U);

    model.set_entity_name("Renamed");
    EXPECT_TRUE(model.dirty());
    EXPECT_EQ(text(model.read_descriptor(0, entity_type, 0).value(), 48), "Renamed");
    EXPECT_EQ(model.cache_rebuilds(), 2U);

    ASSERT_TRUE(model.set_current_sampling_rate(0, 96000));
    EXPECT_EQ(u32(model.read_descriptor(0, to_u16(DescriptorType::AUDIO_UNIT), 0).value(), 136),
              96000U);
    // Refused changes leave the model and its cache alone.
    model.clear_dirty();
    EXPECT_EQ(model.set_current_sampling_rate(0, 44100).error().kind, ErrorKind::ParameterInvalid);
    EXPECT_EQ(model.set_current_sampling_rate(1, 48000).error().kind, ErrorKind::NoSuchDescriptor);
    EXPECT_EQ(model.set_clock_source_index(0, 1).error().kind, ErrorKind::ParameterInvalid);
    EXPECT_EQ(model.set_control_values(3, Linear<std::int8_t>{}).error().kind,
              ErrorKind::ParameterInvalid);
    EXPECT_EQ(model.set_memory_object_length(0, 5).error().kind, ErrorKind::ParameterInvalid);
    EXPECT_FALSE(model.dirty());
    EXPECT_EQ(model.cache_rebuilds(), 3U);

    ASSERT_TRUE(model.set_control_values(
        3, Linear<std::uint8_t>{{LinearValue<std::uint8_t>{0, 255, 255, 0, 255, 0, 0xFFFF}}}));
    const auto identify = model.read_descriptor(0, to_u16(DescriptorType::CONTROL), 3).value();
    EXPECT_EQ(identify[104 + 4], 255);  // current value of the LinearUint8
    EXPECT_EQ(u16(identify, 80), 0x0001);
    EXPECT_EQ(model.control(3).value()->object_name, "Identify");
    EXPECT_EQ(model.stream_port(Direction::Output, 0).value()->clusters.size(), 2U);
    EXPECT_EQ(model.stream_port(Direction::Output, 1).error().kind, ErrorKind::NoSuchDescriptor);
}

TEST(EntityModelState, ObjectNamesBySetName) {
    EntityModel model(small_entity());
    using DT = DescriptorType;
    // Cluster 3 is the first of the output port: the input port holds clusters 0-2.
    ASSERT_TRUE(model.set_object_name(to_u16(DT::AUDIO_CLUSTER), 3, "Out 1"));
    EXPECT_EQ(model.entity()
                  .configurations[0]
                  .audio_units[0]
                  .output_stream_ports[0]
                  .clusters[0]
                  .object_name,
              "Out 1");
    EXPECT_EQ(text(model.read_descriptor(0, to_u16(DT::AUDIO_CLUSTER), 3).value(), 4), "Out 1");
    ASSERT_TRUE(model.set_object_name(to_u16(DT::CONTROL), 2, "Jack knob"));
    EXPECT_EQ(model.entity().configurations[0].input_jacks[0].controls[0].object_name, "Jack knob");
    ASSERT_TRUE(model.set_object_name(to_u16(DT::STREAM_INPUT), 1, "Second"));
    EXPECT_EQ(text(model.read_descriptor(0, to_u16(DT::STREAM_INPUT), 1).value(), 4), "Second");
    model.clear_dirty();
    EXPECT_EQ(model.set_object_name(to_u16(DT::STREAM_INPUT), 2, "x").error().kind,
              ErrorKind::NoSuchDescriptor);
    EXPECT_EQ(model.set_object_name(to_u16(DT::AUDIO_CLUSTER), 5, "x").error().kind,
              ErrorKind::NoSuchDescriptor);
    EXPECT_EQ(model.set_object_name(to_u16(DT::CONFIGURATION), 1, "x").error().kind,
              ErrorKind::NoSuchDescriptor);
    EXPECT_EQ(model.set_object_name(to_u16(DT::LOCALE), 0, "x").error().kind,
              ErrorKind::DescriptorInvalid);
    EXPECT_FALSE(model.dirty());
}

}  // namespace
}  // namespace qz::strimo::avdecc::entity
