#include <gtest/gtest.h>

#include <vector>

#include "packet/acmp.h"
#include "packet/adp.h"
#include "packet/aecp.h"
#include "packet/aem_names.h"

namespace qz::packet {
namespace {

using Frame = std::vector<std::uint8_t>;

TEST(Field, ReadsBigEndianAndRefusesShortFrames) {
    Frame frame{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    EXPECT_EQ(get(std::span<const std::uint8_t>(frame), Field<std::uint64_t>{1}).value(),
              0x0203040506070809ULL);
    auto past = get(std::span<const std::uint8_t>(frame), Field<std::uint64_t>{2});
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error().offset, 2U);
    EXPECT_EQ(past.error().available, 9U);
    // An offset beyond the end must not wrap around in the length test.
    EXPECT_FALSE(get(std::span<const std::uint8_t>(frame), Field<std::uint8_t>{SIZE_MAX}));
    EXPECT_FALSE(set(std::span<std::uint8_t>(frame), Field<std::uint16_t>{8}, std::uint16_t{1}));
    EXPECT_EQ(frame[8], 0x09);  // a refused write leaves the frame alone
}

TEST(Field, PackedWritesKeepTheirNeighbours) {
    Frame frame(20, 0xFF);
    std::span<std::uint8_t> out(frame);
    ASSERT_TRUE(set(out, avtp::kMessageType, std::uint16_t{3}));
    ASSERT_TRUE(set(out, avtp::kStatus, std::uint16_t{0x0A}));
    ASSERT_TRUE(set(out, avtp::kControlDataLength, std::uint16_t{0x123}));
    std::span<const std::uint8_t> in(frame);
    EXPECT_EQ(frame[15], 0xF3);  // sv and version untouched
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 3);
    EXPECT_EQ(get(in, avtp::kStatus).value(), 0x0A);
    EXPECT_EQ(get(in, avtp::kControlDataLength).value(), 0x123);
    EXPECT_EQ(get(in, avtp::kMessageTypeStatus).value(), (3 << 5) | 0x0A);
    ASSERT_TRUE(set(out, avtp::kMessageTypeStatus, std::uint16_t{(7 << 5) | 1}));
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 7);
    EXPECT_EQ(get(in, avtp::kStatus).value(), 1);
    EXPECT_EQ(get(in, avtp::kControlDataLength).value(), 0x123);
    // Values wider than the field are cut to the field, never spill into the neighbour.
    ASSERT_TRUE(set(out, avtp::kStatus, std::uint16_t{0xFFFF}));
    EXPECT_EQ(get(in, avtp::kControlDataLength).value(), 0x123);
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 7);
}

TEST(Adp, FrameHasHeaderAndLength) {
    const auto frame = adp::make_frame(adp::MessageType::ENTITY_DEPARTING);
    ASSERT_EQ(frame.size(), 82U);
    std::span<const std::uint8_t> in(frame);
    EXPECT_EQ(get(in, eth::kDestination).value(), kAvdeccMulticast);
    EXPECT_EQ(get(in, eth::kEthertype).value(), 0x22F0);
    EXPECT_EQ(frame[14], 0xFA);
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 1);
    EXPECT_EQ(get(in, avtp::kControlDataLength).value(), 56);
    EXPECT_EQ(get(in, adp::kAssociationId).value(), 0U);
}

Frame aem_command(std::uint16_t command_type, std::size_t payload) {
    Frame frame(aem::kPayloadOffset + payload, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, kAvdeccMulticast);
    (void)set(out, eth::kSource, Bytes6{0x02, 0, 0, 0, 0, 0x09});
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, aecp::kTargetEntityId, std::uint64_t{0x1122});
    (void)set(out, aecp::kControllerEntityId, std::uint64_t{0xC0});
    (void)set(out, aecp::kSequenceId, std::uint16_t{77});
    (void)set(out, aem::kCommandType, command_type);
    (void)aem::set_payload_length(out, payload);
    for (std::size_t i = 0; i < payload; ++i) {
        frame[aem::kPayloadOffset + i] = static_cast<std::uint8_t>(i + 1);
    }
    return frame;
}

TEST(Aecp, ResponseGoesBackToTheSourceWithTheNewLength) {
    const auto command = aem_command(aem::to_u16(aem::CommandType::READ_DESCRIPTOR), 8);
    // Extended: the payload is kept and zero-filled after it.
    auto response = aem::make_response(command, aem::Status::NO_SUCH_DESCRIPTOR, 20);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->size(), 26U + 32U);
    std::span<const std::uint8_t> in(*response);
    EXPECT_EQ(get(in, eth::kDestination).value(), (Bytes6{0x02, 0, 0, 0, 0, 0x09}));
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 1);
    EXPECT_EQ(get(in, avtp::kStatus).value(), 2);
    EXPECT_EQ(aem::payload_length(in).value(), 20U);
    EXPECT_EQ(get(in, aecp::kSequenceId).value(), 77);
    EXPECT_EQ((*response)[aem::kPayloadOffset + 7], 8);
    EXPECT_EQ((*response)[aem::kPayloadOffset + 8], 0);
    // Cut: a shorter answer drops the tail.
    auto cut = aem::make_response(command, aem::Status::SUCCESS, 2);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 40U);
    // Refused: too long for the 11-bit length, or a command without its common part.
    EXPECT_FALSE(aem::make_response(command, aem::Status::SUCCESS, 2047));
    EXPECT_FALSE(aem::make_response(std::span(command).first(35), aem::Status::SUCCESS, 0));
}

TEST(Aecp, UnsolicitedCopyCarriesTheSubscriber) {
    const auto command = aem_command(aem::to_u16(aem::CommandType::SET_NAME), 4);
    auto response = aem::make_response(command, aem::Status::SUCCESS, 4).value();
    const Bytes6 mac{0x0A, 1, 2, 3, 4, 5};
    auto note = aem::make_unsolicited(response, 0xABCDEF, mac, 9);
    ASSERT_TRUE(note);
    std::span<const std::uint8_t> in(*note);
    EXPECT_EQ(get(in, aem::kUnsolicited).value(), 1);
    EXPECT_EQ(get(in, aem::kCommandType).value(), 0x10);
    EXPECT_EQ(get(in, aecp::kControllerEntityId).value(), 0xABCDEFU);
    EXPECT_EQ(get(in, eth::kDestination).value(), mac);
    EXPECT_EQ(get(in, aecp::kSequenceId).value(), 9);
    EXPECT_EQ(note->size(), response.size());
}

TEST(Acmp, ResponseIsMulticastWithTheNextType) {
    Frame command(acmp::kFrameSize, 0);
    std::span<std::uint8_t> out(command);
    (void)set(out, avtp::kMessageType,
              static_cast<std::uint16_t>(acmp::MessageType::CONNECT_RX_COMMAND));
    (void)set(out, acmp::kListenerEntityId, std::uint64_t{42});
    auto response = acmp::make_response(command, acmp::Status::LISTENER_EXCLUSIVE);
    ASSERT_TRUE(response);
    std::span<const std::uint8_t> in(*response);
    EXPECT_EQ(get(in, avtp::kMessageType).value(), 7);
    EXPECT_EQ(get(in, avtp::kStatus).value(), 8);
    EXPECT_EQ(get(in, eth::kDestination).value(), kAvdeccMulticast);
    EXPECT_EQ(get(in, acmp::kListenerEntityId).value(), 42U);
    EXPECT_EQ(get(in, avtp::kControlDataLength).value(), 44);
}

Frame address_access(const std::vector<std::pair<std::uint16_t, std::size_t>>& tlvs,
                     std::size_t cut_control_data = 0) {
    Frame frame(aa::kTlvsOffset, 0);
    for (auto [word, data] : tlvs) {
        frame.push_back(static_cast<std::uint8_t>(word >> 8));
        frame.push_back(static_cast<std::uint8_t>(word));
        frame.insert(frame.end(), 8, 0x11);
        frame.insert(frame.end(), data, 0x22);
    }
    std::span<std::uint8_t> out(frame);
    (void)set(out, aa::kTlvCount, static_cast<std::uint16_t>(tlvs.size()));
    (void)set(out, avtp::kControlDataLength,
              static_cast<std::uint16_t>(frame.size() - kControlDataOffset - cut_control_data));
    return frame;
}

TEST(AddressAccess, TlvWalkNeedsEveryTlvInsideFrameAndLength) {
    auto frame = address_access({{0x0004, 4}, {0x1002, 2}});
    auto tlvs = aa::parse_tlvs(frame);
    ASSERT_TRUE(tlvs);
    ASSERT_EQ(tlvs->size(), 2U);
    EXPECT_EQ((*tlvs)[0].mode, 0);
    EXPECT_EQ((*tlvs)[0].length, 4);
    EXPECT_EQ((*tlvs)[0].address, 0x1111111111111111ULL);
    EXPECT_EQ((*tlvs)[1].mode, 1);
    EXPECT_EQ((*tlvs)[1].offset, 38U + 14U);

    // tlv_count larger than the TLVs present, a data length past the end, a header cut short,
    // and TLVs that lie past control_data_length although inside the captured bytes.
    auto too_many = address_access({{0x0004, 4}});
    too_many[37] = 2;
    EXPECT_FALSE(aa::parse_tlvs(too_many));
    auto long_data = address_access({{0x0010, 4}});
    EXPECT_FALSE(aa::parse_tlvs(long_data));
    auto short_header = address_access({{0x0000, 0}});
    short_header.pop_back();
    EXPECT_FALSE(aa::parse_tlvs(short_header));
    EXPECT_FALSE(aa::parse_tlvs(address_access({{0x0004, 4}}, 1)));
}

TEST(Names, CompleteTablesEndInTheirFallbacks) {
    EXPECT_EQ(aem::command_type_name(0x0000), "ACQUIRE_ENTITY");
    EXPECT_EQ(aem::command_type_name(0x0024), "REGISTER_UNSOLICITED_NOTIFICATION");
    EXPECT_EQ(aem::command_type_name(0x0048), "GET_MEMORY_OBJECT_LENGTH");
    EXPECT_EQ(aem::command_type_name(0x004B), "GET_DYNAMIC_INFO");
    EXPECT_EQ(aem::command_type_name(0x7FFF), "UNKNOWN");
    EXPECT_EQ(aem::descriptor_type_name(0x0000), "ENTITY");
    EXPECT_EQ(aem::descriptor_type_name(0x001A), "CONTROL");
    EXPECT_EQ(aem::descriptor_type_name(0x0024), "CLOCK_DOMAIN");
    EXPECT_EQ(aem::descriptor_type_name(0x0025), "CONTROL_BLOCK");
    EXPECT_EQ(aem::descriptor_type_name(0x0026), "INVALID");
    EXPECT_EQ(aem::descriptor_type_name(0xFFFF), "INVALID");
}

}  // namespace
}  // namespace qz::packet
