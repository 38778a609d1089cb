#include "ptp_mng/management_message.h"

#include <gtest/gtest.h>

#include "ptp_mng/tests/ptp_frames.h"

namespace qz::ptp {
namespace {

TEST(ManagementMessage, PortDataSetRequestLayout) {
    const auto m = build_port_data_set_request(0x00000000000004D2ULL, 0x0102);
    ASSERT_EQ(m.size(), 80U);
    const std::vector<std::pair<std::size_t, std::uint8_t>> expected{
        {0, 0x1D},  {1, 0x12},  {2, 0x00},  {3, 80},    {4, 0},     {20, 0},    {23, 0},
        {26, 0x04}, {27, 0xD2}, {28, 0},    {29, 0},    {30, 0x01}, {31, 0x02}, {32, 0},
        {33, 0x7F}, {34, 0xFF}, {43, 0xFF}, {44, 0},    {46, 0},    {48, 0x00}, {49, 0x01},
        {50, 0x00}, {51, 28},   {52, 0x20}, {53, 0x04}, {54, 0},    {79, 0}};
    for (const auto& [offset, value] : expected) {
        EXPECT_EQ(m[offset], value) << "offset " << offset;
    }
    for (std::size_t i = 34; i < 44; ++i) {
        EXPECT_EQ(m[i], 0xFF) << "target port identity byte " << i;
    }
}

TEST(ManagementMessage, DecodesPortDataSet) {
    const auto answer = decode_management(testing::port_data_set_answer(7, 9, 1234 * 65536));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->sequence_id, 7);
    const auto& set = std::get<PortDataSet>(answer->payload);
    EXPECT_EQ(set.clock_identity, 0x0011223344556677ULL);
    EXPECT_EQ(set.port_number, 1);
    EXPECT_EQ(set.port_state, 9);
    EXPECT_EQ(path_delay_nanoseconds(set.peer_mean_path_delay), 1234U);
}

TEST(ManagementMessage, DecodesErrorStatusWithItsText) {
    std::vector<std::uint8_t> value{0x00, 0x02, 0x20, 0x04, 0, 0, 0, 0, 3, 'b', 'a', 'd'};
    const auto answer = decode_management(testing::management_answer(3, 0x0002, value));
    ASSERT_TRUE(answer);
    const auto& status = std::get<ManagementErrorStatus>(answer->payload);
    EXPECT_EQ(status.error_id, 2);
    EXPECT_EQ(status.management_id, 0x2004);
    EXPECT_EQ(status.display_text, "bad");
}

TEST(ManagementMessage, IgnoresWhatItDoesNotUse) {
    auto sync = testing::port_data_set_answer(1, 9, 0);
    sync[0] = 0x10;  // a Sync, not a management message
    auto wrong_length = testing::port_data_set_answer(1, 9, 0);
    wrong_length[51] = 20;  // PORT_DATA_SET with a data length other than 26
    auto unknown_id = testing::port_data_set_answer(1, 9, 0);
    unknown_id[53] = 0x05;
    auto past_end = testing::port_data_set_answer(1, 9, 0);
    past_end.resize(60);  // TLV length points beyond the datagram
    const std::vector<std::vector<std::uint8_t>> ignored{
        {}, std::vector<std::uint8_t>(33, 0x1D), sync, wrong_length, unknown_id, past_end};
    for (std::size_t i = 0; i < ignored.size(); ++i) {
        EXPECT_FALSE(decode_management(ignored[i])) << "case " << i;
    }
}

TEST(ManagementMessage, PathDelayIsSaturatedToWholeNanoseconds) {
    EXPECT_EQ(path_delay_nanoseconds(0), 0U);
    EXPECT_EQ(path_delay_nanoseconds(65535), 0U);
    EXPECT_EQ(path_delay_nanoseconds(-5 * 65536), 0U);
    EXPECT_EQ(path_delay_nanoseconds(std::int64_t{0x1'0000'0000} * 65536), 0xFFFFFFFFU);
}

}  // namespace
}  // namespace qz::ptp
