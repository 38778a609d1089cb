#include "strimo/avdecc/aecp/tests/aem_fixture.h"

namespace qz::strimo::avdecc::commands::test {
namespace {

class NotificationsTest : public AemTest {
protected:
    void register_controller(const Controller& c, std::size_t port = 0) {
        auto r = exchange(command(c, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0), port);
        ASSERT_EQ(status(r), Status::SUCCESS);
    }
    Frame set_rate(const Controller& c, std::uint32_t hz) {
        auto frame = described(c, CommandType::SET_SAMPLING_RATE, 8, DescriptorType::AUDIO_UNIT, 0);
        (void)set(std::span<std::uint8_t>(frame), kSamplingRate, hz);
        return frame;
    }
    std::vector<Frame> of_command(const std::vector<Frame>& frames, CommandType type) {
        std::vector<Frame> out;
        for (const auto& f : frames) {
            if (get(f, aem::kCommandType).value() == aem::to_u16(type)) {
                out.push_back(f);
            }
        }
        return out;
    }
    // Answers the CONTROLLER_AVAILABLE probe with a given sequence_id.
    void answer_probe(const Controller& c, const Frame& probe, std::uint16_t sequence_id) {
        auto response = aem::make_response(probe, Status::SUCCESS, 0).value();
        std::span<std::uint8_t> out(response);
        (void)set(out, eth::kSource, c.mac);
        (void)set(out, eth::kDestination, kPort0);
        (void)set(out, aecp::kSequenceId, sequence_id);
        stack_.frame_entry(0, response, now());
    }
};

TEST_F(NotificationsTest, RegistrationIsPerControllerAndPort) {
    register_controller(kA);
    register_controller(kA);
    register_controller(kB);
    register_controller(kA, 1);
    ASSERT_EQ(entity().subscribers().size(), 3U);
    EXPECT_EQ(status(exchange(command(kA, CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION, 0))),
              Status::SUCCESS);
    ASSERT_EQ(entity().subscribers().size(), 1U);
    EXPECT_EQ(entity().subscribers()[0].controller_entity_id, kB.id);

    // Registrations come from the network under any ID: the list is bounded.
    for (std::uint64_t i = 0; i < 200; ++i) {
        (void)exchange(
            command({0x1000 + i, kA.mac}, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));
    }
    EXPECT_EQ(entity().subscribers().size(), Notifier::kMaxSubscribers);
    auto refused =
        exchange(command({0x9999, kA.mac}, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));
    EXPECT_EQ(static_cast<int>(status(refused)), 8);  // NO_RESOURCES
    EXPECT_EQ(status(exchange(command(kB, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0))),
              Status::SUCCESS)
        << "a registered controller may register again";
}

TEST_F(NotificationsTest, ChangesAreNotEchoedToTheRequester) {
    register_controller(kA);
    register_controller(kB);
    const auto before = sender_.sent.size();
    EXPECT_EQ(status(exchange(set_rate(kA, 96000))), Status::SUCCESS);
    EXPECT_EQ(status(exchange(set_rate(kA, 88200))), Status::SUCCESS);
    EXPECT_EQ(status(exchange(set_rate(kA, 1))), Status::BAD_ARGUMENTS);  // failures stay private
    (void)exchange(described(kA, CommandType::GET_SAMPLING_RATE, 4, DescriptorType::AUDIO_UNIT, 0));

    const auto to_a = sent_to(kA.mac, before);
    EXPECT_EQ(to_a.size(), 4U);
    for (const auto& f : to_a) {
        EXPECT_EQ(get(f, aem::kUnsolicited).value(), 0);
    }
    const auto to_b = sent_to(kB.mac, before);
    ASSERT_EQ(to_b.size(), 2U);
    for (std::uint16_t i = 0; i < 2; ++i) {
        EXPECT_EQ(get(to_b[i], aem::kUnsolicited).value(), 1);
        EXPECT_EQ(get(to_b[i], aecp::kControllerEntityId).value(), kB.id);
        EXPECT_EQ(get(to_b[i], aecp::kSequenceId).value(), i);
        EXPECT_EQ(get(to_b[i], aem::kCommandType).value(),
                  aem::to_u16(CommandType::SET_SAMPLING_RATE));
    }
    EXPECT_EQ(get(to_b[1], kSamplingRate).value(), 88200U);

    // A change from the host side goes to everyone, the GET of the item under the SET's type.
    const auto host = sender_.sent.size();
    entity().notify_unsolicited(aem::to_u16(CommandType::SET_SAMPLING_RATE),
                                aem::to_u16(DescriptorType::AUDIO_UNIT), 0, now());
    ASSERT_EQ(sent_to(kA.mac, host).size(), 1U);
    const auto to_b_host = sent_to(kB.mac, host);
    ASSERT_EQ(to_b_host.size(), 1U);
    EXPECT_EQ(get(to_b_host[0], aecp::kSequenceId).value(), 2);
    EXPECT_EQ(get(to_b_host[0], kSamplingRate).value(), 88200U);
    EXPECT_EQ(get(to_b_host[0], aecp::kTargetEntityId).value(), entity_id());
}

TEST_F(NotificationsTest, SilentControllerIsProbedTwiceThenDropped) {
    const auto registered = now();
    register_controller(kA);
    const auto before = sender_.sent.size();
    // When each frame to A left, from the 10 ms steps.
    std::vector<std::pair<Duration, Frame>> to_a;
    while (now() - registered < 62s) {
        const auto mark = sender_.sent.size();
        run_for(10ms);
        for (auto& f : sent_to(kA.mac, mark)) {
            to_a.emplace_back(now() - registered, f);
        }
    }
    ASSERT_EQ(to_a.size(), 3U);
    EXPECT_GE(to_a[0].first, 30s);
    EXPECT_LE(to_a[0].first, 60s + 10ms);
    EXPECT_EQ(to_a[1].first - to_a[0].first, 250ms);
    EXPECT_EQ(to_a[2].first - to_a[1].first, 250ms);

    const auto& probe = to_a[0].second;
    EXPECT_EQ(get(probe, aem::kCommandType).value(),
              aem::to_u16(CommandType::CONTROLLER_AVAILABLE));
    EXPECT_EQ(to_a[1].second, probe);                      // the same command again
    EXPECT_EQ(get(probe, avtp::kMessageType).value(), 0);  // a command
    EXPECT_EQ(get(probe, aecp::kTargetEntityId).value(), kA.id);
    EXPECT_EQ(get(probe, aecp::kControllerEntityId).value(), entity_id());
    const auto& goodbye = to_a[2].second;
    EXPECT_EQ(get(goodbye, aem::kCommandType).value(),
              aem::to_u16(CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION));
    EXPECT_EQ(get(goodbye, aem::kUnsolicited).value(), 1);
    EXPECT_EQ(get(goodbye, avtp::kMessageType).value(), 1);  // a response
    EXPECT_EQ(get(goodbye, aecp::kControllerEntityId).value(), kA.id);
    EXPECT_EQ(get(goodbye, aecp::kTargetEntityId).value(), entity_id());
    EXPECT_TRUE(entity().subscribers().empty());
    EXPECT_EQ(sent_to(kA.mac, before).size(), 3U);
}

TEST_F(NotificationsTest, ProbeTimingAndStaleSequenceIds) {
    register_controller(kA);
    const auto before = sender_.sent.size();
    // Step until A is probed, recording when.
    Instant probed{};
    while (of_command(sent_to(kA.mac, before), CommandType::CONTROLLER_AVAILABLE).empty()) {
        run_for(10ms);
        probed = now();
    }
    const auto probe = of_command(sent_to(kA.mac, before), CommandType::CONTROLLER_AVAILABLE)[0];
    const auto sequence = get(probe, aecp::kSequenceId).value();
    answer_probe(kA, probe, static_cast<std::uint16_t>(sequence + 1));  // stale
    run_for(240ms);
    EXPECT_EQ(of_command(sent_to(kA.mac, before), CommandType::CONTROLLER_AVAILABLE).size(), 1U);
    run_for(20ms);
    EXPECT_EQ(of_command(sent_to(kA.mac, before), CommandType::CONTROLLER_AVAILABLE).size(), 2U)
        << "the retry comes 250 ms after the probe despite the stale answer";
    EXPECT_LE(now() - probed, 270ms);
    answer_probe(kA, probe, sequence);
    run_for(1s);
    ASSERT_EQ(entity().subscribers().size(), 1U) << "the right answer keeps A registered";
    EXPECT_EQ(entity().subscribers()[0].state, SubscriberState::Monitoring);
    EXPECT_TRUE(
        of_command(sent_to(kA.mac, before), CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION)
            .empty());
}

TEST_F(NotificationsTest, CommandsPostponeTheProbe) {
    register_controller(kA);
    const auto before = sender_.sent.size();
    for (int i = 0; i < 6; ++i) {
        run_for(20s);
        (void)exchange(command(kA, CommandType::ENTITY_AVAILABLE, 0));
    }
    EXPECT_TRUE(of_command(sent_to(kA.mac, before), CommandType::CONTROLLER_AVAILABLE).empty());
}

TEST_F(NotificationsTest, CountersThrottleHoldsTheSecondNotification) {
    register_controller(kA);
    const auto counters = aem::to_u16(CommandType::GET_COUNTERS);
    const auto input = aem::to_u16(DescriptorType::STREAM_INPUT);
    const auto before = sender_.sent.size();
    entity().counters().set(input, 2, 11, 100);
    entity().notify_unsolicited(counters, input, 2, now());
    EXPECT_EQ(sent_to(kA.mac, before).size(), 1U);
    run_for(400ms);
    entity().counters().set(input, 2, 11, 150);
    entity().notify_unsolicited(counters, input, 2, now());
    run_for(100ms);
    entity().counters().set(input, 2, 11, 170);
    entity().notify_unsolicited(counters, input, 2, now());  // replaces the held one
    EXPECT_EQ(sent_to(kA.mac, before).size(), 1U);
    run_for(480ms);
    EXPECT_EQ(sent_to(kA.mac, before).size(), 1U);
    run_for(30ms);
    const auto frames = sent_to(kA.mac, before);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[1].size(), 174U);
    EXPECT_EQ(get(frames[1], kCountersValid).value(), 0x00000F3FU);
    EXPECT_EQ(get(frames[1], Field<std::uint32_t>{kCountersOffset + 4 * 11}).value(), 170U);
    // Another descriptor is not held back by this one.
    entity().notify_unsolicited(counters, input, 3, now());
    EXPECT_EQ(sent_to(kA.mac, before).size(), 3U);
}

TEST_F(NotificationsTest, LinkAndGrandmasterChangesAreCountedAndNotified) {
    register_controller(kA);
    const auto before = sender_.sent.size();
    const auto avb = aem::to_u16(DescriptorType::AVB_INTERFACE);
    stack_.link_up(1, now());
    run_for(2s);
    stack_.link_down(1, now());
    auto frames = of_command(sent_to(kA.mac, before), CommandType::GET_COUNTERS);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(get(frames[1], Field<std::uint32_t>{kCountersOffset + 4 * 0}).value(), 1U);
    EXPECT_EQ(get(frames[1], Field<std::uint32_t>{kCountersOffset + 4 * 1}).value(), 1U);
    EXPECT_EQ(get(frames[1], kDescriptorIndex).value(), 1);

    ptp::PortDataSet master;
    master.clock_identity = 0x001122FFFE334455;
    master.port_state = static_cast<std::uint8_t>(ptp::PortState::Master);
    const auto mark = sender_.sent.size();
    run_for(2s);
    stack_.port_data_set(0, master, now());
    frames = sent_to(kA.mac, mark);
    ASSERT_EQ(of_command(frames, CommandType::GET_AVB_INFO).size(), 1U);
    ASSERT_EQ(of_command(frames, CommandType::GET_AS_PATH).size(), 1U);
    ASSERT_EQ(of_command(frames, CommandType::GET_COUNTERS).size(), 1U);
    const auto info = of_command(frames, CommandType::GET_AVB_INFO)[0];
    EXPECT_EQ(info.size(), 62U);
    EXPECT_EQ(get(info, kGptpGrandmasterId).value(), stack_.gptp().port(0).grandmaster_id.value());
    EXPECT_EQ(entity().counters().value(avb, 0, counter::GPTP_GM_CHANGED), 1U);
    // The same grandmaster again changes nothing.
    stack_.port_data_set(0, master, now());
    EXPECT_EQ(entity().counters().value(avb, 0, counter::GPTP_GM_CHANGED), 1U);
}

}  // namespace
}  // namespace qz::strimo::avdecc::commands::test
