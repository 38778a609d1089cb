#include "ptp_mng/announce.h"

#include <gtest/gtest.h>

#include "ptp_mng/tests/ptp_frames.h"

namespace qz::ptp {
namespace {

using testing::announce_frame;

TEST(Announce, PathTraceAndGrandmasterAreRead) {
    const auto parsed = parse_announce(announce_frame(0xAABB, {1, 2, 3}));
    ASSERT_TRUE(parsed && *parsed);
    EXPECT_EQ((*parsed)->grandmaster, 0xAABBU);
    EXPECT_EQ((*parsed)->path_sequence, (std::vector<ClockIdentity>{1, 2, 3}));
}

TEST(Announce, OtherMessageTypesAreIgnoredWithoutError) {
    for (std::uint8_t type : {0x0, 0x2, 0x3, 0x8, 0xA}) {
        const auto parsed = parse_announce(announce_frame(0xAABB, {1}, false, type));
        ASSERT_TRUE(parsed) << int(type);
        EXPECT_FALSE(*parsed) << int(type);
    }
}

TEST(Announce, MalformedFramesAreErrors) {
    using Kind = GptpError::Kind;
    auto wrong_transport = announce_frame(0xAABB, {1});
    wrong_transport[14] = 0x0B;
    auto version_one = announce_frame(0xAABB, {1});
    version_one[15] = 0x01;
    auto truncated = announce_frame(0xAABB, {1, 2});
    truncated.resize(truncated.size() - 1);
    auto odd_tlv = announce_frame(0xAABB, {1});
    odd_tlv[81] = 7;
    auto wrong_tlv = announce_frame(0xAABB, {1});
    wrong_tlv[79] = 0x03;
    auto short_body = announce_frame(0xAABB, {});
    short_body.resize(60);
    short_body[17] = 46;
    const std::vector<std::pair<std::vector<std::uint8_t>, Kind>> cases{
        {std::vector<std::uint8_t>(47, 0), Kind::InvalidPacket},
        {wrong_transport, Kind::InvalidPacket},
        {version_one, Kind::InvalidPacket},
        {truncated, Kind::InvalidPacket},
        {short_body, Kind::InvalidAnnounce},
        {announce_frame(0xAABB, {1}, true), Kind::InvalidAnnounce},
        {odd_tlv, Kind::InvalidAnnounce},
        {wrong_tlv, Kind::InvalidAnnounce},
        {announce_frame(0, {1}), Kind::InvalidAnnounce},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto parsed = parse_announce(cases[i].first);
        ASSERT_FALSE(parsed) << "case " << i;
        EXPECT_EQ(parsed.error().kind, cases[i].second) << "case " << i;
    }
    EXPECT_EQ(GptpError{Kind::InvalidAnnounce}.text(), "Invalid gPTP announce message received");
    EXPECT_EQ(GptpError{Kind::InvalidPacket}.text(), "Invalid gPTP packet received");
}

TEST(ClockIdentity, FromMacInsertsFffe) {
    EXPECT_EQ(clock_identity_from_mac({0x00, 0x1B, 0xC5, 0x0A, 0xC1, 0x07}), 0x001BC5FFFE0AC107ULL);
}

}  // namespace
}  // namespace qz::ptp
