#include "strimo/avdecc/adp/entity_database.h"

#include <gtest/gtest.h>

#include "packet/adp.h"

namespace qz::strimo::avdecc::adp {

namespace wire = packet::adp;
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> available(std::uint64_t entity_id, std::uint32_t index,
                                    std::uint64_t grandmaster = 0x10,
                                    std::uint16_t valid_time = 10) {
    auto frame = wire::make_frame(wire::MessageType::ENTITY_AVAILABLE);
    std::span<std::uint8_t> bytes(frame);
    (void)packet::set(bytes, packet::eth::kSource, packet::Bytes6{2, 0, 0, 0, 0, 9});
    (void)packet::set(bytes, packet::avtp::kValidTime, valid_time);
    (void)packet::set(bytes, wire::kEntityId, entity_id);
    (void)packet::set(bytes, wire::kEntityCapabilities, std::uint32_t{0xFFFFFFFF});
    (void)packet::set(bytes, wire::kAvailableIndex, index);
    (void)packet::set(bytes, wire::kGptpGrandmasterId, grandmaster);
    return frame;
}

std::vector<DatabaseEventKind> kinds(std::vector<DatabaseEvent> events) {
    std::vector<DatabaseEventKind> out;
    for (const auto& e : events) {
        out.push_back(e.kind);
    }
    return out;
}

using enum DatabaseEventKind;

TEST(EntityDatabase, LearnsUpdatesAndNoticesRestarts) {
    EntityDatabase db;
    const Instant now{};
    db.start(now);
    db.available_received(available(7, 3), now);
    auto events = db.take_events();
    ASSERT_EQ(kinds(events), std::vector{Discovered});
    ASSERT_TRUE(events[0].record);
    EXPECT_EQ(events[0].record->mac, (net::MacAddress{2, 0, 0, 0, 0, 9}));
    EXPECT_EQ(events[0].record->entity_capabilities, 0x03FFFFFFU);
    EXPECT_EQ(events[0].record->deadline, now + 20s);

    db.available_received(available(7, 4), now);  // next advertisement
    EXPECT_TRUE(db.take_events().empty());
    db.available_received(available(7, 5, 0x20), now);  // new grandmaster
    EXPECT_EQ(kinds(db.take_events()), std::vector{Changed});
    db.available_received(available(7, 5, 0x20), now);  // same index again: a restart
    EXPECT_EQ(kinds(db.take_events()), (std::vector{Departed, Discovered}));
    EXPECT_EQ(db.entities().size(), 1U);
}

TEST(EntityDatabase, DepartingRemovesAndIsReportedEvenForStrangers) {
    EntityDatabase db;
    db.start(Instant{});
    db.available_received(available(7, 1), Instant{});
    db.available_received(available(8, 1), Instant{});
    (void)db.take_events();
    db.departing_received(7);
    db.departing_received(99);
    const auto events = db.take_events();
    EXPECT_EQ(kinds(events), (std::vector{Departed, Departed}));
    EXPECT_EQ(events[1].entity_id, 99U);
    ASSERT_EQ(db.entities().size(), 1U);
    EXPECT_EQ(db.entities()[0].entity_id, 8U);
}

TEST(EntityDatabase, SilentEntitiesExpireAfterTwiceTheirValidTime) {
    EntityDatabase db;
    const Instant start{};
    db.start(start);
    db.available_received(available(7, 1, 0x10, 2), start);  // valid for 4 s
    db.available_received(available(8, 1), start);           // valid for 20 s
    (void)db.take_events();
    for (Instant t = start; t < start + 4s; t += 10ms) {
        EXPECT_FALSE(db.step(t));
    }
    EXPECT_TRUE(db.take_events().empty());
    for (Instant t = start + 4s; t < start + 6s + 10ms; t += 10ms) {
        db.step(t);
    }
    const auto events = db.take_events();
    ASSERT_EQ(kinds(events), std::vector{Departed});
    EXPECT_EQ(events[0].entity_id, 7U);
}

TEST(EntityDatabase, DiscoverRequestIsSentByTheNextStep) {
    EntityDatabase db;
    db.request_discover(0x1234);
    auto frame = db.step(Instant{});
    ASSERT_TRUE(frame);
    EXPECT_EQ(packet::get(*frame, packet::avtp::kMessageType).value(), 2);
    EXPECT_EQ(packet::get(*frame, wire::kEntityId).value(), 0x1234U);
    EXPECT_FALSE(db.step(Instant{}));
}

}  // namespace
}  // namespace qz::strimo::avdecc::adp
