#include "strimo/avdecc/aecp/tests/aem_fixture.h"

namespace qz::strimo::avdecc::commands::test {
namespace {

class CommandsTest : public AemTest {
protected:
    Frame lock_command(const Controller& c, bool unlock,
                       DescriptorType type = DescriptorType::ENTITY) {
        auto frame = command(c, CommandType::LOCK_ENTITY, kLockPayload);
        std::span<std::uint8_t> out(frame);
        (void)set(out, kLockFlags, unlock ? std::uint32_t{1} : std::uint32_t{0});
        (void)set(out, kLockDescriptorType, aem::to_u16(type));
        return frame;
    }
    Frame set_name(const Controller& c, DescriptorType type, std::uint16_t index,
                   std::uint16_t name_index, std::span<const std::uint8_t> name) {
        auto frame = described(c, CommandType::SET_NAME, kNamePayload, type, index);
        (void)set(std::span<std::uint8_t>(frame), kNameIndex, name_index);
        std::copy(name.begin(), name.end(), frame.begin() + kNameOffset);
        return frame;
    }
    Frame set_name(const Controller& c, std::string_view name) {
        const std::vector<std::uint8_t> bytes(name.begin(), name.end());
        return set_name(c, DescriptorType::ENTITY, 0, 0, bytes);
    }
};

TEST_F(CommandsTest, LockFromTwoControllersAndItsExpiry) {
    auto r = exchange(lock_command(kA, false));
    ASSERT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(get(r, kLockedEntityId).value(), kA.id);
    EXPECT_TRUE(entity().locked_by_controller(now()));
    (void)exchange(command(kB, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));

    EXPECT_EQ(status(exchange(set_name(kB, "B's name"))), Status::ENTITY_LOCKED);
    r = exchange(lock_command(kB, true));
    EXPECT_EQ(status(r), Status::ENTITY_LOCKED);
    EXPECT_EQ(get(r, kLockedEntityId).value(), kA.id);
    EXPECT_EQ(status(exchange(set_name(kA, "A's name"))), Status::SUCCESS);

    // A renews after 30 s: the lock now runs until 90 s.
    run_for(30s);
    EXPECT_EQ(status(exchange(lock_command(kA, false))), Status::SUCCESS);
    run_for(40s);
    EXPECT_EQ(status(exchange(set_name(kB, "B's name"))), Status::ENTITY_LOCKED);
    // B never answers liveness probes: registering again keeps it subscribed for 30 s at least.
    (void)exchange(command(kB, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));
    const auto before = sender_.sent.size();
    run_for(21s);
    EXPECT_FALSE(entity().locked_by_controller(now()));
    // The expiry is told to the subscribers as an unsolicited LOCK_ENTITY with UNLOCK.
    const auto told = sent_to(kB.mac, before);
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(get(told[0], aem::kCommandType).value(), aem::to_u16(CommandType::LOCK_ENTITY));
    EXPECT_EQ(get(told[0], aem::kUnsolicited).value(), 1);
    EXPECT_EQ(get(told[0], kLockFlags).value(), 1U);
    EXPECT_EQ(get(told[0], kLockedEntityId).value(), 0U);
    EXPECT_EQ(status(exchange(set_name(kB, "B's name"))), Status::SUCCESS);
    EXPECT_EQ(entity().model().entity().entity_name, "B's name");

    // Only the holder unlocks; then anyone may lock.
    EXPECT_EQ(status(exchange(lock_command(kB, false))), Status::SUCCESS);
    EXPECT_EQ(status(exchange(lock_command(kB, true))), Status::SUCCESS);
    EXPECT_FALSE(entity().locked_by_controller(now()));
    EXPECT_EQ(status(exchange(lock_command(kA, false, DescriptorType::STREAM_INPUT))),
              Status::NOT_SUPPORTED);
}

TEST_F(CommandsTest, NotImplementedCommandsEchoTheirPayload) {
    for (auto type : {CommandType::ACQUIRE_ENTITY, CommandType::ABORT_OPERATION,
                      static_cast<CommandType>(0x7FFE)}) {
        auto frame = command(kA, type, 16);
        frame[40] = 0x5A;
        frame[53] = 0xA5;
        auto r = exchange(frame);
        ASSERT_EQ(r.size(), frame.size()) << aem::command_type_name(aem::to_u16(type));
        EXPECT_EQ(status(r), Status::NOT_IMPLEMENTED);
        EXPECT_TRUE(std::equal(r.begin() + 36, r.end(), frame.begin() + 36));
    }
    // No acquire ever: a lock still works afterwards.
    EXPECT_EQ(status(exchange(lock_command(kB, false))), Status::SUCCESS);
}

TEST_F(CommandsTest, NamesOf64BytesAndInvalidUtf8) {
    std::vector<std::uint8_t> full(64);
    for (std::size_t i = 0; i < full.size(); ++i) {
        full[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    EXPECT_EQ(status(exchange(set_name(kA, DescriptorType::ENTITY, 0, 0, full))), Status::SUCCESS);
    EXPECT_EQ(entity().model().entity().entity_name, std::string(full.begin(), full.end()));
    auto get_name = described(kA, CommandType::GET_NAME, 8, DescriptorType::ENTITY, 0);
    auto r = exchange(get_name);
    ASSERT_EQ(r.size(), 110U);
    EXPECT_TRUE(std::equal(full.begin(), full.end(), r.begin() + kNameOffset));
    EXPECT_EQ(hooks_.calls.back(), "entity name");

    const std::vector<std::uint8_t> broken{'o', 'k', 0xC3, 0x28};
    const auto changes = hooks_.model_changes;
    EXPECT_EQ(status(exchange(set_name(kA, DescriptorType::ENTITY, 0, 0, broken))),
              Status::BAD_ARGUMENTS);
    EXPECT_EQ(hooks_.model_changes, changes);
    const std::vector<std::uint8_t> overlong{0xC0, 0xAF};
    EXPECT_EQ(status(exchange(set_name(kA, DescriptorType::STREAM_INPUT, 0, 0, overlong))),
              Status::BAD_ARGUMENTS);

    const std::vector<std::uint8_t> name{'M', 'i', 'x', ' ', 0xC3, 0xA9};
    struct Case {
        DescriptorType type;
        std::uint16_t index;
        std::uint16_t name_index;
        Status expected;
    };
    const Case cases[] = {
        {DescriptorType::STREAM_INPUT, 0, 0, Status::SUCCESS},
        {DescriptorType::CONTROL, 0, 0, Status::SUCCESS},
        {DescriptorType::AUDIO_CLUSTER, 3, 0, Status::SUCCESS},
        {DescriptorType::ENTITY, 0, 1, Status::SUCCESS},  // group name
        {DescriptorType::ENTITY, 0, 2, Status::BAD_ARGUMENTS},
        {DescriptorType::STREAM_INPUT, 999, 0, Status::NO_SUCH_DESCRIPTOR},
        {DescriptorType::STREAM_INPUT, 0, 1, Status::BAD_ARGUMENTS},
        {DescriptorType::LOCALE, 0, 0, Status::BAD_ARGUMENTS},
        {DescriptorType::MEMORY_OBJECT, 0, 1, Status::SUCCESS},  // the device layer's name
    };
    for (const auto& c : cases) {
        auto answer = exchange(set_name(kA, c.type, c.index, c.name_index, name));
        EXPECT_EQ(status(answer), c.expected)
            << aem::descriptor_type_name(aem::to_u16(c.type)) << " " << c.index;
    }
    // GET_NAME reads the new object name back from the descriptor.
    r = exchange(described(kA, CommandType::GET_NAME, 8, DescriptorType::AUDIO_CLUSTER, 3));
    ASSERT_EQ(status(r), Status::SUCCESS);
    EXPECT_TRUE(std::equal(name.begin(), name.end(), r.begin() + kNameOffset));
    EXPECT_EQ(r[kNameOffset + name.size()], 0);
}

TEST_F(CommandsTest, SetStreamInfoFlagRules) {
    auto stream_info = [&](DescriptorType type, std::uint32_t flags, std::uint32_t latency) {
        auto frame = described(kA, CommandType::SET_STREAM_INFO, 48, type, 1);
        (void)set(std::span<std::uint8_t>(frame), kStreamInfoFlags, flags);
        (void)set(std::span<std::uint8_t>(frame), kMsrpAccumulatedLatency, latency);
        return status(exchange(frame));
    };
    EXPECT_EQ(stream_info(DescriptorType::STREAM_OUTPUT, kMsrpAccLatValid, 1'500'000),
              Status::SUCCESS);
    EXPECT_EQ(stream_info(DescriptorType::STREAM_OUTPUT, kMsrpAccLatValid | 0x1, 1),
              Status::NOT_SUPPORTED);
    EXPECT_EQ(stream_info(DescriptorType::STREAM_OUTPUT, kStreamFormatValid, 1),
              Status::NOT_SUPPORTED);
    EXPECT_EQ(stream_info(DescriptorType::STREAM_INPUT, kMsrpAccLatValid, 1),
              Status::NOT_SUPPORTED);

    auto r =
        exchange(described(kA, CommandType::GET_STREAM_INFO, 4, DescriptorType::STREAM_OUTPUT, 1));
    ASSERT_EQ(r.size(), 94U);
    EXPECT_EQ(get(r, avtp::kControlDataLength).value(), 68);
    EXPECT_EQ(get(r, kStreamInfoFlags).value(), kStreamFormatValid | kMsrpAccLatValid);
    EXPECT_EQ(get(r, kMsrpAccumulatedLatency).value(), 1'500'000U);
    // The redundant partner follows.
    const auto& stream = *entity().model().stream(entity::Direction::Output, 1).value();
    ASSERT_FALSE(stream.redundant_streams.empty());
    const auto partner = stream.redundant_streams[0];
    EXPECT_EQ(entity()
                  .model()
                  .stream(entity::Direction::Output, partner)
                  .value()
                  ->presentation_time_offset,
              1'500'000U);

    entity().stream_runtime().sources[1].streaming = true;
    EXPECT_EQ(stream_info(DescriptorType::STREAM_OUTPUT, kMsrpAccLatValid, 2),
              Status::STREAM_IS_RUNNING);
}

TEST_F(CommandsTest, SetStreamFormatFollowsTheListAndThePartner) {
    auto format = [&](DescriptorType type, std::uint16_t index, std::uint64_t value) {
        auto frame = described(kA, CommandType::SET_STREAM_FORMAT, 12, type, index);
        (void)set(std::span<std::uint8_t>(frame), kStreamFormat, value);
        return exchange(frame);
    };
    const auto& stream = *entity().model().stream(entity::Direction::Input, 0).value();
    const auto current = stream.current_stream_format;
    const auto other = *std::find_if(stream.stream_formats.begin(), stream.stream_formats.end(),
                                     [&](auto f) { return f != current; });
    ASSERT_FALSE(stream.redundant_streams.empty());
    const auto partner = stream.redundant_streams[0];

    auto r = format(DescriptorType::JACK_INPUT, 0, other);
    EXPECT_EQ(status(r), Status::BAD_ARGUMENTS);
    EXPECT_EQ(get(r, kStreamFormat).value(), 0U);
    EXPECT_EQ(status(format(DescriptorType::STREAM_INPUT, 999, other)), Status::NO_SUCH_DESCRIPTOR);
    r = format(DescriptorType::STREAM_INPUT, 0, 0x1234);  // not one the stream accepts
    EXPECT_EQ(status(r), Status::BAD_ARGUMENTS);
    EXPECT_EQ(get(r, kStreamFormat).value(), current);
    entity().stream_runtime().sinks[partner].bound = true;
    EXPECT_EQ(status(format(DescriptorType::STREAM_INPUT, 0, other)), Status::STREAM_IS_RUNNING);
    entity().stream_runtime().sinks[partner].bound = false;

    (void)exchange(command(kB, CommandType::REGISTER_UNSOLICITED_NOTIFICATION, 0));
    r = format(DescriptorType::STREAM_INPUT, 0, other);
    EXPECT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(get(r, kStreamFormat).value(), other);
    EXPECT_EQ(
        entity().model().stream(entity::Direction::Input, partner).value()->current_stream_format,
        other);
    // The changed streams' GET_STREAM_INFO goes to the subscribers at the end of the next tick.
    const auto before = sender_.sent.size();
    run_for(10ms);
    std::size_t infos = 0;
    for (const auto& f : sent_to(kB.mac, before)) {
        infos += get(f, aem::kCommandType).value() == aem::to_u16(CommandType::GET_STREAM_INFO);
    }
    EXPECT_EQ(infos, 2U);
}

TEST_F(CommandsTest, ConfigurationAndDescriptorStatuses) {
    auto set_configuration = [&](std::uint16_t index) {
        auto frame = command(kA, CommandType::SET_CONFIGURATION, 4);
        (void)set(std::span<std::uint8_t>(frame), kConfigurationIndex, index);
        return exchange(frame);
    };
    auto r = set_configuration(1);
    EXPECT_EQ(status(r), Status::NO_SUCH_DESCRIPTOR);
    EXPECT_EQ(get(r, kConfigurationIndex).value(), 0);
    EXPECT_EQ(status(set_configuration(0)), Status::SUCCESS);
    entity().stream_runtime().sinks[3].bound = true;
    EXPECT_EQ(status(set_configuration(0)), Status::STREAM_IS_RUNNING);

    struct Case {
        CommandType command;
        DescriptorType type;
        std::uint16_t index;
        Status expected;
    };
    const Case cases[] = {
        {CommandType::GET_STREAM_FORMAT, DescriptorType::JACK_INPUT, 0, Status::BAD_ARGUMENTS},
        {CommandType::GET_STREAM_FORMAT, DescriptorType::STREAM_INPUT, 34,
         Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_STREAM_INFO, DescriptorType::STREAM_INPUT, 0, Status::SUCCESS},
        {CommandType::GET_SAMPLING_RATE, DescriptorType::CLOCK_DOMAIN, 0,
         Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_CLOCK_SOURCE, DescriptorType::AUDIO_UNIT, 0, Status::BAD_ARGUMENTS},
        {CommandType::GET_CLOCK_SOURCE, DescriptorType::CLOCK_DOMAIN, 1,
         Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_CONTROL, DescriptorType::CONTROL, 0, Status::SUCCESS},
        {CommandType::GET_CONTROL, DescriptorType::CONTROL, 1, Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_AVB_INFO, DescriptorType::AVB_INTERFACE, 1, Status::SUCCESS},
        {CommandType::GET_AVB_INFO, DescriptorType::AVB_INTERFACE, 2, Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_COUNTERS, DescriptorType::JACK_INPUT, 0, Status::NOT_SUPPORTED},
        {CommandType::GET_COUNTERS, DescriptorType::ENTITY, 1, Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_COUNTERS, DescriptorType::CLOCK_DOMAIN, 0, Status::SUCCESS},
        {CommandType::START_STREAMING, DescriptorType::STREAM_OUTPUT, 0, Status::NOT_SUPPORTED},
        {CommandType::STOP_STREAMING, DescriptorType::JACK_INPUT, 0, Status::BAD_ARGUMENTS},
        {CommandType::START_STREAMING, DescriptorType::STREAM_INPUT, 0, Status::SUCCESS},
        {CommandType::REBOOT, DescriptorType::STREAM_INPUT, 0, Status::NOT_SUPPORTED},
        {CommandType::GET_MEMORY_OBJECT_LENGTH, DescriptorType::MEMORY_OBJECT, 9,
         Status::NO_SUCH_DESCRIPTOR},
        {CommandType::GET_AUDIO_MAP, DescriptorType::AUDIO_UNIT, 0, Status::NO_SUCH_DESCRIPTOR},
    };
    for (const auto& c : cases) {
        auto answer = exchange(described(kA, c.command, 8, c.type, c.index));
        EXPECT_EQ(status(answer), c.expected)
            << aem::command_type_name(aem::to_u16(c.command)) << " "
            << aem::descriptor_type_name(aem::to_u16(c.type)) << " " << c.index;
    }
    r = exchange(described(kA, CommandType::READ_DESCRIPTOR, 8, DescriptorType::ENTITY, 0));
    EXPECT_EQ(status(r), Status::SUCCESS);
    auto as_path = command(kA, CommandType::GET_AS_PATH, 4);
    (void)set(std::span<std::uint8_t>(as_path), kAsPathDescriptorIndex, std::uint16_t{2});
    r = exchange(as_path);
    EXPECT_EQ(status(r), Status::NO_SUCH_DESCRIPTOR);
    EXPECT_EQ(get(r, kAsPathCount).value(), 0);
    auto missing = command(kA, CommandType::READ_DESCRIPTOR, 8);
    (void)set(std::span<std::uint8_t>(missing), kReadDescriptorType,
              aem::to_u16(DescriptorType::STREAM_INPUT));
    (void)set(std::span<std::uint8_t>(missing), kReadDescriptorIndex, std::uint16_t{500});
    r = exchange(missing);
    EXPECT_EQ(status(r), Status::NO_SUCH_DESCRIPTOR);
    EXPECT_EQ(r.size(), missing.size());
}

TEST_F(CommandsTest, ShortCommandsAreNotAnswered) {
    struct Case {
        CommandType command;
        std::size_t payload;
    };
    const Case cases[] = {{CommandType::LOCK_ENTITY, 15},      {CommandType::READ_DESCRIPTOR, 7},
                          {CommandType::SET_STREAM_INFO, 47},  {CommandType::SET_NAME, 71},
                          {CommandType::SET_SAMPLING_RATE, 7}, {CommandType::GET_COUNTERS, 3},
                          {CommandType::START_OPERATION, 7}};
    for (const auto& c : cases) {
        // Padding after the declared control data does not count as payload.
        auto frame = command(kA, c.command, c.payload);
        frame.resize(std::max<std::size_t>(frame.size() + 40, 60), 0xEE);
        const auto received = entity().receive(0, frame, now());
        ASSERT_FALSE(received) << aem::command_type_name(aem::to_u16(c.command));
        EXPECT_EQ(received.error().kind, ErrorKind::PacketInvalid);
    }
    EXPECT_TRUE(sender_.sent.empty());
}

TEST_F(CommandsTest, PaddingNeverLeaksIntoAResponse) {
    auto frame = command(kA, CommandType::GET_CONFIGURATION, 0);
    frame.resize(60, 0xEE);
    auto r = exchange(frame);
    ASSERT_EQ(r.size(), 42U);
    EXPECT_EQ(get(r, Field<std::uint32_t>{38}).value(), 0U);
    EXPECT_EQ(get(r, eth::kDestination).value(), kA.mac);
}

TEST_F(CommandsTest, SamplingRateClockSourceAndControl) {
    auto rate = [&](std::uint32_t hz) {
        auto frame =
            described(kA, CommandType::SET_SAMPLING_RATE, 8, DescriptorType::AUDIO_UNIT, 0);
        (void)set(std::span<std::uint8_t>(frame), kSamplingRate, hz);
        return exchange(frame);
    };
    auto r = rate(96000);
    EXPECT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(entity().model().audio_unit(0).value()->current_sampling_rate, 96000U);
    EXPECT_EQ(hooks_.calls.back(), "rate 96000");
    r = rate(12345);  // not a rate of the audio unit
    EXPECT_EQ(status(r), Status::BAD_ARGUMENTS);
    EXPECT_EQ(get(r, kSamplingRate).value(), 96000U);
    hooks_.fail = DeviceErrorKind::ParamsInvalid;
    EXPECT_EQ(status(rate(48000)), Status::BAD_ARGUMENTS);
    hooks_.fail = DeviceErrorKind::OperationFailed;
    r = rate(48000);
    EXPECT_EQ(status(r), Status::ENTITY_MISBEHAVING);
    EXPECT_EQ(get(r, kSamplingRate).value(), 96000U);  // model left as it was
    hooks_.fail.reset();

    auto source = [&](DescriptorType type, std::uint16_t index) {
        auto frame = described(kA, CommandType::SET_CLOCK_SOURCE, 8, type, 0);
        (void)set(std::span<std::uint8_t>(frame), kClockSourceIndex, index);
        return status(exchange(frame));
    };
    const auto sources = entity().model().clock_domain(0).value()->clock_sources.size();
    EXPECT_EQ(source(DescriptorType::CLOCK_DOMAIN, 3), Status::SUCCESS);
    EXPECT_EQ(entity().model().clock_domain(0).value()->clock_source_index, 3);
    EXPECT_EQ(source(DescriptorType::CLOCK_DOMAIN, static_cast<std::uint16_t>(sources)),
              Status::BAD_ARGUMENTS);
    EXPECT_EQ(source(DescriptorType::AUDIO_UNIT, 1), Status::BAD_ARGUMENTS);

    auto control = [&](std::vector<std::uint8_t> values) {
        auto frame =
            described(kA, CommandType::SET_CONTROL, 4 + values.size(), DescriptorType::CONTROL, 0);
        std::copy(values.begin(), values.end(), frame.begin() + kControlValuesOffset);
        return exchange(frame);
    };
    r = control({0xFF});
    EXPECT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(r[kControlValuesOffset], 0xFF);
    EXPECT_EQ(hooks_.calls.back(), "control 0");
    r = control({0x01, 0x02});  // one value of one byte expected
    EXPECT_EQ(status(r), Status::BAD_ARGUMENTS);
    EXPECT_EQ(r.size(), 43U);
    EXPECT_EQ(r[kControlValuesOffset], 0xFF);  // the current value
    r = exchange(described(kA, CommandType::GET_CONTROL, 4, DescriptorType::CONTROL, 0));
    EXPECT_EQ(r[kControlValuesOffset], 0xFF);
}

TEST_F(CommandsTest, RebootRunsItsActionAfterTheResponse) {
    auto r = exchange(described(kA, CommandType::REBOOT, 4, DescriptorType::ENTITY, 0));
    EXPECT_EQ(status(r), Status::SUCCESS);
    EXPECT_EQ(hooks_.reboots_run, 1);
    hooks_.fail = DeviceErrorKind::NotSupported;
    EXPECT_EQ(status(exchange(described(kA, CommandType::REBOOT, 4, DescriptorType::ENTITY, 0))),
              Status::NOT_SUPPORTED);
    EXPECT_EQ(hooks_.reboots_run, 1);
}

TEST_F(CommandsTest, StartOperationTakesAnOperationId) {
    auto upload = [&](std::uint64_t length) {
        auto frame =
            described(kA, CommandType::START_OPERATION, 16, DescriptorType::MEMORY_OBJECT, 0);
        (void)set(std::span<std::uint8_t>(frame), kOperationType, std::uint16_t{4});
        (void)set(std::span<std::uint8_t>(frame), Field<std::uint64_t>{kOperationValuesOffset},
                  length);
        return exchange(frame);
    };
    const auto* object = entity().model().memory_object(0).value();
    auto first = upload(object->maximum_length + 1);
    EXPECT_EQ(status(first), Status::NO_SUCH_DESCRIPTOR);
    auto second = upload(16);
    EXPECT_EQ(status(second), Status::SUCCESS);
    EXPECT_EQ(get(second, kOperationId).value(), get(first, kOperationId).value() + 1);
    EXPECT_EQ(entity().model().memory_object(0).value()->length, 16U);
}

}  // namespace
}  // namespace qz::strimo::avdecc::commands::test
