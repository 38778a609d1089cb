#include "strimo/avdecc/aecp/tests/aem_fixture.h"

namespace qz::strimo::avdecc::commands::test {
namespace {

// The card's entity with the stream ports mapped dynamically (no static maps).
entity::Entity dynamic_entity() {
    auto e = card_entity();
    auto& unit = e.configurations[0].audio_units[0];
    unit.input_stream_ports[0].maps.clear();
    unit.output_stream_ports[0].maps.clear();
    return e;
}

class AudioMapTest : public AemTest {
protected:
    AudioMapTest() : AemTest(dynamic_entity()) {}

    Frame mappings(CommandType type, DescriptorType port,
                   const std::vector<entity::AudioMapping>& list) {
        auto frame = described(kA, type, 8 + 8 * list.size(), port, 0);
        std::span<std::uint8_t> out(frame);
        (void)set(out, Field<std::uint16_t>{42}, static_cast<std::uint16_t>(list.size()));
        for (std::size_t i = 0; i < list.size(); ++i) {
            const auto at = 46 + 8 * i;
            (void)set(out, Field<std::uint16_t>{at}, list[i].stream_index);
            (void)set(out, Field<std::uint16_t>{at + 2}, list[i].stream_channel);
            (void)set(out, Field<std::uint16_t>{at + 4}, list[i].cluster_offset);
            (void)set(out, Field<std::uint16_t>{at + 6}, list[i].cluster_channel);
        }
        return frame;
    }
    const std::vector<entity::AudioMapping>& dynamic(entity::Direction d) {
        return entity().model().stream_port(d, 0).value()->maps_dyn;
    }
};

TEST_F(AudioMapTest, AddAndRemoveFollowTheMilanRules) {
    using M = entity::AudioMapping;
    const auto in = DescriptorType::STREAM_PORT_INPUT;
    const auto out = DescriptorType::STREAM_PORT_OUTPUT;
    EXPECT_EQ(status(exchange(
                  mappings(CommandType::ADD_AUDIO_MAPPINGS, in, {{0, 0, 0, 0}, {0, 1, 1, 0}}))),
              Status::SUCCESS);
    EXPECT_EQ(dynamic(entity::Direction::Input), (std::vector<M>{{0, 0, 0, 0}, {0, 1, 1, 0}}));
    EXPECT_EQ(hooks_.calls.back(), "input map");

    struct Case {
        const char* what;
        CommandType command;
        DescriptorType port;
        std::vector<M> list;
        Status expected;
    };
    const Case cases[] = {
        {"cluster channel 1",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{0, 2, 2, 1}},
         Status::BAD_ARGUMENTS},
        {"same cluster twice",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{0, 2, 2, 0}, {0, 3, 2, 0}},
         Status::BAD_ARGUMENTS},
        {"same stream channel twice",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{0, 2, 2, 0}, {0, 2, 3, 0}},
         Status::BAD_ARGUMENTS},
        {"channel beyond the format",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{0, 8, 2, 0}},
         Status::BAD_ARGUMENTS},
        {"no such stream",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{99, 0, 2, 0}},
         Status::BAD_ARGUMENTS},
        {"no such cluster",
         CommandType::ADD_AUDIO_MAPPINGS,
         in,
         {{0, 2, 9999, 0}},
         Status::BAD_ARGUMENTS},
        {"remove absent",
         CommandType::REMOVE_AUDIO_MAPPINGS,
         in,
         {{0, 5, 5, 0}},
         Status::BAD_ARGUMENTS},
        {"not a stream port",
         CommandType::ADD_AUDIO_MAPPINGS,
         DescriptorType::AUDIO_UNIT,
         {{0, 2, 2, 0}},
         Status::BAD_ARGUMENTS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(status(exchange(mappings(c.command, c.port, c.list))), c.expected) << c.what;
    }
    EXPECT_EQ(dynamic(entity::Direction::Input).size(), 2U) << "refused requests change nothing";

    // An output stream channel is fed by one cluster only.
    EXPECT_EQ(status(exchange(mappings(CommandType::ADD_AUDIO_MAPPINGS, out, {{1, 0, 4, 0}}))),
              Status::SUCCESS);
    EXPECT_EQ(status(exchange(mappings(CommandType::ADD_AUDIO_MAPPINGS, out, {{1, 0, 5, 0}}))),
              Status::BAD_ARGUMENTS);
    entity().stream_runtime().sources[1].streaming = true;
    EXPECT_EQ(status(exchange(mappings(CommandType::REMOVE_AUDIO_MAPPINGS, out, {{1, 0, 4, 0}}))),
              Status::BAD_ARGUMENTS);
    entity().stream_runtime().sources[1].streaming = false;
    EXPECT_EQ(status(exchange(mappings(CommandType::REMOVE_AUDIO_MAPPINGS, out, {{1, 0, 4, 0}}))),
              Status::SUCCESS);
    EXPECT_TRUE(dynamic(entity::Direction::Output).empty());

    // GET_AUDIO_MAP shows the dynamic mappings as one map.
    auto map = described(kA, CommandType::GET_AUDIO_MAP, 8, in, 0);
    auto r = exchange(map);
    ASSERT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(get(r, kNumberOfMaps).value(), 1);
    EXPECT_EQ(get(r, kNumberOfMappings).value(), 2);
    EXPECT_EQ(get(r, Field<std::uint16_t>{kMappingsOffset + 8 + 4}).value(), 1);  // cluster 1
}

TEST(AudioMapStatic, PortsWithStaticMapsRefuseChanges) {
    class Static : public AemTest {
    public:
        void TestBody() override {}
        Status add() {
            auto frame = described(kA, CommandType::ADD_AUDIO_MAPPINGS, 16,
                                   DescriptorType::STREAM_PORT_INPUT, 0);
            (void)set(std::span<std::uint8_t>(frame), Field<std::uint16_t>{42}, std::uint16_t{1});
            return status(exchange(frame));
        }
    } t;
    EXPECT_EQ(t.add(), Status::NOT_SUPPORTED);
}

TEST_F(AudioMapTest, DynamicInfoAnswersEachEntryInPlace) {
    auto entry = [](std::uint16_t type, std::vector<std::uint8_t> data) {
        std::vector<std::uint8_t> out{static_cast<std::uint8_t>(data.size() >> 8),
                                      static_cast<std::uint8_t>(data.size()),
                                      0,
                                      0,
                                      0,
                                      0,
                                      static_cast<std::uint8_t>(type >> 8),
                                      static_cast<std::uint8_t>(type)};
        out.insert(out.end(), data.begin(), data.end());
        return out;
    };
    auto command_with = [&](std::vector<std::vector<std::uint8_t>> entries) {
        std::vector<std::uint8_t> payload;
        for (auto& e : entries) {
            payload.insert(payload.end(), e.begin(), e.end());
        }
        auto frame = command(kA, CommandType::GET_DYNAMIC_INFO, payload.size());
        std::copy(payload.begin(), payload.end(), frame.begin() + kPayloadBase);
        return frame;
    };
    auto r = exchange(command_with({entry(21, {0, 2, 0, 0, 0, 0, 0, 0}),  // GET_SAMPLING_RATE
                                    entry(21, {0, 5, 0, 0, 0, 0, 0, 0}),  // wrong type
                                    entry(79, {}),                        // permitted, unsupported
                                    entry(15, {0, 6, 0, 1})}));           // GET_STREAM_INFO
    ASSERT_EQ(status(r), Status::SUCCESS);
    std::size_t at = kPayloadBase;
    auto next = [&](std::uint16_t type, Status expected) {
        ASSERT_LE(at + 8, r.size());
        EXPECT_EQ(get(r, Field<std::uint16_t>{at + 6}).value(), type);
        EXPECT_EQ(r[at + 4], static_cast<std::uint8_t>(expected)) << type;
        at += 8 + get(r, Field<std::uint16_t>{at}).value();
    };
    EXPECT_EQ(get(r, Field<std::uint32_t>{kPayloadBase + 8 + 4}).value(), 48000U);
    next(21, Status::SUCCESS);
    next(21, Status::NO_SUCH_DESCRIPTOR);
    next(79, Status::NOT_IMPLEMENTED);
    next(15, Status::SUCCESS);
    EXPECT_EQ(at, r.size());

    // A SET or a command outside the list refuses the whole request.
    EXPECT_EQ(status(exchange(command_with({entry(21, {0, 2, 0, 0, 0, 0, 0, 0}),
                                            entry(16, std::vector<std::uint8_t>(72))}))),
              Status::BAD_ARGUMENTS);
    EXPECT_EQ(status(exchange(command_with({entry(39, {0, 9, 0, 0})}))), Status::BAD_ARGUMENTS);
}

}  // namespace
}  // namespace qz::strimo::avdecc::commands::test
