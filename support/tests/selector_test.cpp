#include "support/selector.h"

#include <gtest/gtest.h>

#include <array>

#include "support/channel.h"
#include "support/periodic_timer.h"

namespace qz {
namespace {

TEST(Selector, ChoosesEvenlyAmongAllReadySources) {
    auto selector = Selector::create();
    ASSERT_TRUE(selector);
    std::array<std::pair<Sender<int>, Receiver<int>>, 3> channels{
        make_channel<int>(0), make_channel<int>(0), make_channel<int>(0)};
    for (auto& [tx, rx] : channels) {
        ASSERT_TRUE(selector->add(rx.fd()));
        tx.send(0);  // stays queued: every source is ready in every round
    }
    SeededRandom random(42);
    std::array<int, 3> chosen{};
    for (int round = 0; round < 3000; ++round) {
        auto source = selector->wait_one(random);
        ASSERT_TRUE(source && *source);
        ++chosen.at(**source);
    }
    for (int count : chosen) {
        EXPECT_GT(count, 850);
        EXPECT_LT(count, 1150);
    }
}

TEST(Selector, OnlyReadySourcesAreChosen) {
    auto selector = Selector::create();
    ASSERT_TRUE(selector);
    auto [idle_tx, idle_rx] = make_channel<int>(0);
    auto [busy_tx, busy_rx] = make_channel<int>(0);
    ASSERT_TRUE(selector->add(idle_rx.fd()));
    ASSERT_TRUE(selector->add(busy_rx.fd()));
    busy_tx.send(1);
    SeededRandom random(1);
    for (int i = 0; i < 20; ++i) {
        auto source = selector->wait_one(random);
        ASSERT_TRUE(source && *source);
        EXPECT_EQ(**source, 1U);
    }
}

TEST(PeriodicTimer, ALateConsumerSeesOneTickAndTheNextIsAPeriodAfterTakingIt) {
    auto timer = PeriodicTimer::create(std::chrono::milliseconds(5));
    ASSERT_TRUE(timer);
    auto selector = Selector::create();
    ASSERT_TRUE(selector->add(timer->fd()));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // six periods pass
    const auto first_due = timer->due();
    auto tick = timer->take();
    ASSERT_TRUE(tick);
    EXPECT_EQ(*tick, first_due);
    const auto taken = SteadyClock::now();
    // No queued ticks: the next one is due a full period after the take.
    EXPECT_GE(timer->due(), taken - std::chrono::milliseconds(1));
    SeededRandom random(3);
    auto ready = selector->wait_one(random);
    ASSERT_TRUE(ready && *ready);
    EXPECT_GE(SteadyClock::now(), timer->due());
}

}  // namespace
}  // namespace qz
