#include "strimo/avdecc/adp/advertiser.h"

#include <gtest/gtest.h>

#include "packet/adp.h"

namespace qz::strimo::avdecc::adp {

namespace wire = packet::adp;
namespace {

using namespace std::chrono_literals;
using packet::get;

entity::Entity make_entity() {
    entity::Entity e;
    e.entity_id = 0x001BC50AC1000001ULL;
    e.entity_model_id = 0x001BC50AC1000002ULL;
    e.entity_capabilities = 0x8588;
    e.talker_stream_sources = 34;
    e.listener_stream_sinks = 34;
    return e;
}
const entity::Entity kEntity = make_entity();

struct Port {
    SeededRandom random{7};
    Advertiser advertiser{1, random};
    Instant now{};

    // Steps every 10 ms until a frame comes out (or the limit passes).
    std::optional<std::vector<std::uint8_t>> until_frame(Duration limit) {
        const Instant end = now + limit;
        while (now <= end) {
            auto out = advertiser.step(now, kEntity);
            EXPECT_TRUE(out);
            if (out && *out) {
                return *out;
            }
            now += 10ms;
        }
        return std::nullopt;
    }
};

TEST(Advertiser, AdvertisesWithinFourSecondsThenEveryFiveToNine) {
    Port run;
    EXPECT_FALSE(run.until_frame(10s));  // idle until started
    const Instant started = run.now;
    run.advertiser.start(0xAABBCCFFFE001122ULL, started);
    auto first = run.until_frame(5s);
    ASSERT_TRUE(first);
    EXPECT_LE(run.now - started, 4s);
    EXPECT_EQ(get(*first, wire::kAvailableIndex).value(), 0U);
    EXPECT_EQ(get(*first, packet::avtp::kValidTime).value(), 10);
    EXPECT_EQ(get(*first, packet::avtp::kMessageType).value(), 0);
    EXPECT_EQ(get(*first, wire::kEntityId).value(), kEntity.entity_id);
    EXPECT_EQ(get(*first, wire::kGptpGrandmasterId).value(), 0xAABBCCFFFE001122ULL);
    EXPECT_EQ(get(*first, wire::kInterfaceIndex).value(), 1);
    EXPECT_EQ(get(*first, wire::kTalkerStreamSources).value(), 34);

    for (std::uint32_t index = 1; index < 6; ++index) {
        const Instant previous = run.now;
        run.now += 10ms;
        auto next = run.until_frame(10s);
        ASSERT_TRUE(next);
        EXPECT_GE(run.now - previous, 5s);
        EXPECT_LE(run.now - previous, 9s + 10ms);
        EXPECT_EQ(get(*next, wire::kAvailableIndex).value(), index);
    }
}

TEST(Advertiser, DiscoverWhileWaitingAdvertisesOnceEvenWhenRepeated) {
    Port run;
    run.advertiser.start(1, run.now);
    ASSERT_TRUE(run.until_frame(5s));
    run.now += 10ms;
    ASSERT_EQ(run.advertiser.state(), AdvertiserState::Waiting);
    run.advertiser.discover_received(run.now);
    const auto deadline = run.advertiser.deadline();
    run.advertiser.discover_received(run.now + 1ms);
    EXPECT_EQ(run.advertiser.deadline(), deadline);  // the second keeps the first's schedule
    ASSERT_TRUE(deadline);
    EXPECT_LE(*deadline - run.now, 4s);
    run.now = *deadline;
    auto answer = run.advertiser.step(run.now, kEntity);
    ASSERT_TRUE(answer && *answer);
    EXPECT_EQ(run.advertiser.state(), AdvertiserState::Waiting);
}

TEST(Advertiser, DepartSendsDepartingWithTheCurrentIndexAndStops) {
    Port run;
    run.advertiser.start(1, run.now);
    ASSERT_TRUE(run.until_frame(5s));
    run.now += 10ms;
    ASSERT_TRUE(run.until_frame(10s));
    run.advertiser.depart();
    auto departing = run.advertiser.step(run.now, kEntity);
    ASSERT_TRUE(departing && *departing);
    EXPECT_EQ(get(**departing, packet::avtp::kMessageType).value(), 1);
    EXPECT_EQ(get(**departing, packet::avtp::kValidTime).value(), 0);
    EXPECT_EQ(get(**departing, wire::kAvailableIndex).value(), 2U);
    EXPECT_EQ(run.advertiser.state(), AdvertiserState::Idle);
    EXPECT_EQ(run.advertiser.available_index(), 0U);
    EXPECT_FALSE(run.until_frame(20s));
}

TEST(Advertiser, IdlePortDoesNotDepart) {
    Port run;
    run.advertiser.depart();
    EXPECT_EQ(run.advertiser.state(), AdvertiserState::Idle);
    EXPECT_FALSE(run.until_frame(1s));
}

}  // namespace
}  // namespace qz::strimo::avdecc::adp
