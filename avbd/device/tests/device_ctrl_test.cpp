// The device control loop on the simulated card, with a fake entity: host words in, report words
// and card registers out, and the device requests of the hooks in between.
#include "avbd/device/device_ctrl.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/persist/device_settings.h"
#include "avbd/persist/files.h"
#include "packet/aem_names.h"
#include "qzel_device/avb/regs.h"
#include "sim/card.h"

namespace qz::avbd {
namespace {

namespace model = strimo::avdecc::entity;
namespace aem = packet::aem;
using device::ControlWord;
using device::MessageType;

constexpr std::uint8_t kGet = 0;
constexpr std::uint8_t kSet = 1;

struct Notification {
    std::uint16_t command;
    std::uint16_t descriptor_type;
    std::uint16_t index;
    friend bool operator==(const Notification&, const Notification&) = default;
};

class FakeEntity final : public EntityAccess {
public:
    FakeEntity()
        : entity_(build_card_entity(default_oem_values("unknown", "1.2.3-v4"),
                                    {0x02, 0, 0, 0, 0, 1}, {0x02, 0, 0, 0, 0, 2})) {}

    bool locked_by_controller(Instant) override { return locked; }
    const model::Entity& entity() const override { return entity_; }
    model::Configuration& config() { return entity_.configurations[0]; }

    std::expected<void, std::string> set_current_sampling_rate(std::uint32_t hz) override {
        config().audio_units[0].current_sampling_rate = hz;
        return {};
    }
    std::expected<void, std::string> set_clock_source(std::uint16_t position) override {
        config().clock_domains[0].clock_source_index = position;
        return {};
    }
    std::expected<void, std::string> set_control_values(std::uint16_t index,
                                                        model::ControlValues values) override {
        config().controls.at(index).values = std::move(values);
        return {};
    }
    std::expected<void, std::string> set_dynamic_mappings(
        model::Direction direction, std::vector<model::AudioMapping> mappings) override {
        auto& unit = config().audio_units[0];
        (direction == model::Direction::Input ? unit.input_stream_ports
                                              : unit.output_stream_ports)[0]
            .maps_dyn = std::move(mappings);
        return {};
    }
    void mark_changed() override { ++changes; }
    void notify_unsolicited(std::uint16_t command, std::uint16_t type, std::uint16_t index,
                            Instant) override {
        notifications.push_back({command, type, index});
    }

    bool locked{false};
    int changes{0};
    std::vector<Notification> notifications;

private:
    model::Entity entity_;
};

class DeviceLoop : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/device_ctrl_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        auto opened = sim::SimMilanCard::open();
        ASSERT_TRUE(opened);
        simulated = std::move(*opened);
        fpga = simulated->fpga;
        slot = std::make_unique<CardSlot>(std::move(simulated->card));
        link.emplace(std::make_unique<device::AvbLinkPort>(
            device::RegisterWindow(fpga->core(), device::avb::kCoreBase), simulated->sleeper));
        auto [sender, receiver] = make_channel<DeviceRequest>(0);
        requests.emplace(std::move(receiver));
        hooks = std::make_unique<CardDeviceHooks>(*slot, std::move(sender),
                                                  std::vector<std::uint8_t>{1, 2, 3, 4}, nullptr);
        DeviceEnvironment env;
        env.macs = {net::MacAddress{0x02, 0, 0, 0, 0, 1}, net::MacAddress{0x02, 0, 0, 0, 0, 2}};
        env.version = {1, 2, 3};
        env.data_directory = dir;
        env.port_states = [this] { return ports; };
        env.exit_process = [this](int status) { exit_status = status; };
        env.stop_persisting = [this] {
            persisting_stopped_before_delete = std::filesystem::exists(dir + "/current.json");
        };
        env.ssh.authorized_keys = dir + "/ssh/authorized_keys";
        env.ssh.restart_service = [] { return std::expected<void, std::string>{}; };
        auto status = slot->with([](device::avb::Card& card) { return card.read_status(); });
        ASSERT_TRUE(status);
        control = std::make_unique<DeviceControl>(*slot, *link, entity, *hooks,
                                                  persist::default_device_settings(), env, *status);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Host words in; the reports of the service and of every queued device request out.
    std::vector<ControlWord> host(std::initializer_list<ControlWord> words) {
        for (const auto& word : words) {
            fpga->host_send(device::encode(word));
        }
        control->service_host(Instant{});
        drain_requests();
        return take();
    }
    void drain_requests() {
        for (;;) {
            auto next = requests->try_recv();
            if (!next.message) {
                return;
            }
            EXPECT_TRUE(control->apply(*next.message));
        }
    }
    std::vector<ControlWord> take() { return sim::HostEnd<sim::MilanFpga>(fpga).take_reports(); }
    static std::vector<ControlWord> of_type(const std::vector<ControlWord>& words, MessageType t) {
        std::vector<ControlWord> out;
        for (const auto& w : words) {
            if (w.type == static_cast<std::uint8_t>(t)) {
                out.push_back(w);
            }
        }
        return out;
    }
    std::uint8_t rate_code() {
        return slot->with([](device::avb::Card& card) { return card.rate_code(); });
    }

    std::string dir;
    std::unique_ptr<sim::SimMilanCard> simulated;
    std::shared_ptr<sim::MilanFpga> fpga;
    std::unique_ptr<CardSlot> slot;
    std::optional<device::ParCtrlIntf> link;
    std::optional<Receiver<DeviceRequest>> requests;
    std::unique_ptr<CardDeviceHooks> hooks;
    FakeEntity entity;
    std::array<std::pair<bool, bool>, 2> ports{{{true, true}, {false, false}}};
    std::optional<int> exit_status;
    bool persisting_stopped_before_delete{false};
    std::unique_ptr<DeviceControl> control;
};

TEST(StreamSlots, IndicesMapToPortAndSlot) {
    struct Case {
        std::uint16_t index;
        std::optional<CardSlotAddress> output, input;
    };
    const Case cases[] = {{0, {{0, 0}}, {{0, 0}}},    {15, {{0, 15}}, {{0, 15}}},
                          {16, {{0, 16}}, {{0, 63}}}, {17, {{1, 0}}, {{1, 0}}},
                          {33, {{1, 16}}, {{1, 63}}}, {34, std::nullopt, std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(stream_output_slot(c.index), c.output) << c.index;
        EXPECT_EQ(stream_input_slot(c.index), c.input) << c.index;
    }
}

TEST_F(DeviceLoop, HostRateChangeReachesCardEntityAndControllers) {
    const auto reports = host({{1, 1, 4, kSet}});
    EXPECT_EQ(rate_code(), 4);
    EXPECT_EQ(entity.config().audio_units[0].current_sampling_rate, 96000u);
    EXPECT_EQ(entity.changes, 1);
    EXPECT_EQ(entity.notifications,
              (std::vector<Notification>{{aem::to_u16(aem::CommandType::SET_SAMPLING_RATE),
                                          aem::to_u16(aem::DescriptorType::AUDIO_UNIT), 0}}));
    const auto rate = of_type(reports, MessageType::SamplingRate);
    ASSERT_EQ(rate.size(), 1u);
    EXPECT_EQ(rate[0].value, 4);
}

TEST_F(DeviceLoop, RefusedRateChangesReportTheOldRate) {
    entity.locked = true;
    auto reports = host({{1, 1, 4, kSet}});
    EXPECT_EQ(rate_code(), 2);
    EXPECT_EQ(entity.config().audio_units[0].current_sampling_rate, 48000u);
    auto rate = of_type(reports, MessageType::SamplingRate);
    ASSERT_EQ(rate.size(), 1u);
    EXPECT_EQ(rate[0].value, 2);

    // Not offered by the audio unit: refused the same way. Out of range: ignored.
    entity.locked = false;
    entity.config().audio_units[0].sampling_rates = {48000};
    rate = of_type(host({{1, 1, 6, kSet}}), MessageType::SamplingRate);
    ASSERT_EQ(rate.size(), 1u);
    EXPECT_EQ(rate[0].value, 2);
    EXPECT_TRUE(host({{1, 1, 0, kSet}, {1, 1, 7, kSet}}).empty());
    EXPECT_EQ(rate_code(), 2);
    EXPECT_TRUE(entity.notifications.empty());
}

TEST_F(DeviceLoop, HostClockSourceCodesSelectEntitySources) {
    struct Case {
        std::uint16_t code;
        std::optional<std::uint16_t> source;
    };
    for (const Case c : {Case{72, 23}, Case{39, 23}, Case{5, 5}, Case{40, 7}, Case{55, 22},
                         Case{73, std::nullopt}, Case{23, std::nullopt}}) {
        entity.config().clock_domains[0].clock_source_index = 0;
        entity.notifications.clear();
        const auto clock = of_type(host({{2, 1, c.code, kSet}}), MessageType::Clock);
        if (!c.source) {
            EXPECT_TRUE(clock.empty()) << c.code;
            EXPECT_TRUE(entity.notifications.empty()) << c.code;
            continue;
        }
        EXPECT_EQ(entity.config().clock_domains[0].clock_source_index, *c.source) << c.code;
        ASSERT_EQ(clock.size(), 1u) << c.code;
        EXPECT_EQ(clock[0].value, *device::avb_clock_code(static_cast<std::uint8_t>(*c.source)));
        EXPECT_EQ(entity.notifications.size(), 1u);
    }
    // While a controller holds the entity nothing changes and nothing is reported.
    entity.locked = true;
    entity.config().clock_domains[0].clock_source_index = 0;
    EXPECT_TRUE(host({{2, 1, 72, kSet}}).empty());
    EXPECT_EQ(entity.config().clock_domains[0].clock_source_index, 0);
}

TEST_F(DeviceLoop, ControllerIdentifyReachesTheStatusWord) {
    model::LinearValue<std::uint8_t> on{0, 255, 255, 0, 1, 0, 0};
    ASSERT_TRUE(hooks->set_control(0, model::Linear<std::uint8_t>{{on}}));
    drain_requests();
    EXPECT_TRUE(control->identify_on());
    const auto status = of_type(take(), MessageType::MiscStatus);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].value, 0x13);  // port 0 up at 1 Gb/s, identify
    EXPECT_EQ(hooks->set_control(1, model::Linear<std::uint8_t>{{on}}).error(),
              strimo::avdecc::DeviceErrorKind::NotSupported);
}

TEST_F(DeviceLoop, HostIdentifySetsTheControlAndNotifies) {
    const auto status = of_type(host({{5, 1, 0x0202, kSet}}), MessageType::MiscStatus);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].value & 0x10, 0x10);
    EXPECT_EQ(
        std::get<model::Linear<std::uint8_t>>(entity.config().controls[0].values).values[0].current,
        255);
    EXPECT_EQ(entity.notifications.back(),
              (Notification{aem::to_u16(aem::CommandType::SET_CONTROL),
                            aem::to_u16(aem::DescriptorType::CONTROL), 0}));
    // Identify alone does not touch the stored settings.
    EXPECT_FALSE(std::filesystem::exists(dir + "/device_current_avb.json"));
}

TEST_F(DeviceLoop, RoutingAndOptionsAreAppliedAndStored) {
    EXPECT_TRUE(host({{8, 13, 0x0101, kSet}, {8, 0, 0x0101, kSet}}).empty());
    EXPECT_FALSE(std::filesystem::exists(dir + "/device_current_avb.json"));

    host({{8, 5, 0x1003, kSet}, {5, 1, 0x0C04, kSet}});  // avb banks 0, 1; madi 56 on, smux off
    const auto stored = persist::load_device_settings(dir);
    EXPECT_EQ(stored.routing.net[0], 16);
    EXPECT_EQ(stored.routing.net[1], 3);
    EXPECT_TRUE(stored.madi_56ch);
    EXPECT_FALSE(stored.madi_smux);
    EXPECT_EQ(stored, control->settings());
    const auto card_banks =
        slot->with([](device::avb::Card& card) { return card.routing_banks(); });
    ASSERT_TRUE(card_banks);
    EXPECT_EQ(*card_banks, stored.routing);

    const auto routing = of_type(host({{8, 5, 0, kGet}}), MessageType::BlockRouting);
    ASSERT_EQ(routing.size(), 1u);
    EXPECT_EQ(routing[0].value, 0x1003);
}

TEST_F(DeviceLoop, StatusPollReportsOnlyWhatChanged) {
    control->poll_status();
    EXPECT_TRUE(take().empty());
    fpga->set_fixed_inputs(2 | (1u << 18));  // word clock at 48 kHz, locked
    control->poll_status();
    auto reports = take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].type, static_cast<std::uint8_t>(MessageType::ClockStates));
    EXPECT_EQ(reports[0].index, 1);
    control->poll_status();
    EXPECT_TRUE(take().empty());
    fpga->set_lock_source(128);  // locked to the first fixed input
    control->poll_status();
    reports = of_type(take(), MessageType::RefClock);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].value, 1);
}

TEST_F(DeviceLoop, CountersNotifyTheDescriptorsThatMoved) {
    std::array<InterfaceCounters, 2> interfaces{};
    control->poll_counters(Instant{}, interfaces);
    EXPECT_TRUE(entity.notifications.empty());  // the first poll sets the baseline
    interfaces[1].frames_rx = 5;
    fpga->set_counter(1, device::avb::counter_word::frames_rx(3), 7);   // input 17 + 3
    fpga->set_counter(0, device::avb::counter_word::frames_tx(16), 9);  // output 16
    control->poll_counters(Instant{}, interfaces);
    const auto counters = aem::to_u16(aem::CommandType::GET_COUNTERS);
    EXPECT_EQ(entity.notifications,
              (std::vector<Notification>{
                  {counters, aem::to_u16(aem::DescriptorType::AVB_INTERFACE), 1},
                  {counters, aem::to_u16(aem::DescriptorType::STREAM_INPUT), 20},
                  {counters, aem::to_u16(aem::DescriptorType::STREAM_OUTPUT), 16}}));
    entity.notifications.clear();
    control->poll_counters(Instant{}, interfaces);
    EXPECT_TRUE(entity.notifications.empty());
}

TEST_F(DeviceLoop, LinkStateWordIsWrittenOnlyWhenItChanges) {
    const auto writes = [this] { return fpga->control3_writes().size(); };
    const auto before = writes();
    ASSERT_TRUE(
        slot->with([](device::avb::Card& card) { return card.set_link_state(0, true, true); }));
    ASSERT_TRUE(
        slot->with([](device::avb::Card& card) { return card.set_link_state(0, true, true); }));
    ASSERT_TRUE(
        slot->with([](device::avb::Card& card) { return card.set_link_state(1, false, true); }));
    EXPECT_EQ(writes(), before + 2);
    EXPECT_EQ(fpga->control3_writes().back(), (1u << 27) | (1u << 29) | (1u << 30));
    EXPECT_FALSE(
        slot->with([](device::avb::Card& card) { return card.set_link_state(2, true, true); }));
}

TEST_F(DeviceLoop, FactoryResetRemovesTheFilesAndEnds) {
    for (const char* name : {"device_current_avb.json", "current.json", "auto_connect.json",
                             "maap0.addr", "maap1.addr", "other.json"}) {
        ASSERT_TRUE(persist::write_file_atomically(dir + "/" + name, "{}"));
    }
    host({{15, 2, 0, kSet}, {15, 1, 0, kGet}});
    EXPECT_FALSE(exit_status);
    EXPECT_TRUE(std::filesystem::exists(dir + "/current.json"));
    host({{15, 1, 0, kSet}});
    EXPECT_EQ(exit_status, 0);
    EXPECT_TRUE(persisting_stopped_before_delete);
    for (const char* name : {"device_current_avb.json", "current.json", "auto_connect.json",
                             "maap0.addr", "maap1.addr"}) {
        EXPECT_FALSE(std::filesystem::exists(dir + "/" + name)) << name;
    }
    EXPECT_TRUE(std::filesystem::exists(dir + "/other.json"));
}

TEST_F(DeviceLoop, InternalCommandRebuildsTheDynamicMappings) {
    host({{14, 0x10, 0, kSet}});
    const auto& unit = entity.config().audio_units[0];
    for (const auto* port : {&unit.input_stream_ports[0], &unit.output_stream_ports[0]}) {
        ASSERT_FALSE(port->maps_dyn.empty());
        // Consecutive clusters, stream by stream, channel by channel.
        for (std::size_t i = 0; i < port->maps_dyn.size(); ++i) {
            EXPECT_EQ(port->maps_dyn[i].cluster_offset, i);
        }
        EXPECT_EQ(port->maps_dyn[0].stream_index, 0);
        EXPECT_EQ(port->maps_dyn[8].stream_index, 1);  // the current format has 8 channels
    }
    EXPECT_EQ(entity.notifications.size(), 4u);  // remove and add, for inputs and outputs
}

TEST_F(DeviceLoop, InitialReportInOrder) {
    ASSERT_TRUE(control->initial_report());
    std::vector<std::uint8_t> types;
    for (const auto& word : take()) {
        if (types.empty() || types.back() != word.type) {
            types.push_back(word.type);
        }
    }
    EXPECT_EQ(types, (std::vector<std::uint8_t>{1, 2, 3, 4, 6, 7, 8}));
}

TEST_F(DeviceLoop, HooksDriveTheCard) {
    ASSERT_TRUE(hooks->set_sampling_rate(192000));
    EXPECT_EQ(rate_code(), 6);
    EXPECT_EQ(hooks->set_sampling_rate(12345).error(),
              strimo::avdecc::DeviceErrorKind::ParamsInvalid);
    EXPECT_EQ(hooks->set_clock_source(41).error(), strimo::avdecc::DeviceErrorKind::IndexNotValid);
    ASSERT_TRUE(hooks->set_clock_source(23));
    EXPECT_FALSE(hooks->enable_stream_output(34));
    ASSERT_TRUE(hooks->enable_stream_input(16, {0x91, 0xE0, 0xF0, 0x00, 0x12, 0x34}, 2));
    ASSERT_TRUE(hooks->disable_stream_input(16));
    EXPECT_EQ(hooks->set_entity_name("Desk").value(), "Desk");
    EXPECT_EQ(hooks->prepare_reboot().error(), strimo::avdecc::DeviceErrorKind::NotSupported);
    // Two requests were queued: the rate and the clock source, reported in that order.
    drain_requests();
    const auto reports = take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].type, 1);
    EXPECT_EQ(reports[0].value, 6);
    EXPECT_EQ(reports[1].type, 2);
    EXPECT_EQ(reports[1].value, 39);

    std::vector<std::uint8_t> out(2);
    ASSERT_TRUE(hooks->memory_read(0, 2, out));
    EXPECT_EQ(out, (std::vector<std::uint8_t>{3, 4}));
    EXPECT_FALSE(hooks->memory_read(0, 3, out).error().reason);  // past the image
    EXPECT_TRUE(hooks->memory_read(1, 0, out).error().reason);
}

}  // namespace
}  // namespace qz::avbd
