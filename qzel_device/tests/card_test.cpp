#include "sim/card.h"

#include <gtest/gtest.h>

#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"

namespace qz::device {
namespace {

using namespace std::chrono_literals;

class MilanCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = sim::SimMilanCard::open();
        ASSERT_TRUE(opened) << opened.error().text();
        sim = std::move(*opened);
    }
    avb::Card& card() { return *sim->card; }
    sim::MilanFpga& fpga() { return *sim->fpga; }
    std::unique_ptr<sim::SimMilanCard> sim;
};

TEST_F(MilanCardTest, StartValuesAndOrder) {
    EXPECT_EQ(fpga().clock_words(), std::vector<std::uint32_t>{0xBFCA});
    const auto control3 = fpga().control3_writes();
    ASSERT_EQ(control3.size(), 1u + 32u);
    EXPECT_EQ(control3[0], 0x80000000u);
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint32_t base = 0x20040u | ((i * 32) << 8) | i;
        EXPECT_EQ(control3[1 + 2 * i], base) << i;
        EXPECT_EQ(control3[2 + 2 * i], base | 0x80) << i;
    }
    for (std::size_t mask : avb::kEnableMasks) {
        EXPECT_EQ(fpga().core_writes(mask), 1u);
        EXPECT_EQ(fpga().written(mask), 0u);
    }
    EXPECT_EQ(card().design_id(), 0x00010203u);
    // Default routing: recording n <- stream n/32 channel n%32, talker slots <- host playback,
    // MADI port p <- host playback p * 64 + c.
    EXPECT_EQ(fpga().routing_word(0x800 / 4 + 100), 512u + 100);
    EXPECT_EQ(fpga().routing_word(0x1000 / 4 + 3 * 32 + 4), 3u * 32 + 4);
    EXPECT_EQ(fpga().routing_word(2 * 64 + 5), 2u * 64 + 5);

    const auto& gpio = *sim->devices.gpio;
    EXPECT_EQ(gpio.requests, (std::vector<sim::GpioRequest>{{22, 2, true},
                                                            {26, 5, false},
                                                            {20, 5, false},
                                                            {44, 6, true},
                                                            {23, 6, true},
                                                            {31, 2, false},
                                                            {35, 2, false}}));
    EXPECT_EQ(gpio.sets, (std::vector<sim::GpioEvent>{
                             {31, true}, {35, true}, {44, false}, {23, true}, {23, false}}));
    EXPECT_EQ(sim->sleeper.total(), Duration(1000ms));
    EXPECT_EQ(sim->devices.pll->transfers.size(), 13u);
    EXPECT_EQ((sim->devices.dac->registers[{0x10, 0x03}]), 0xFF);
}

TEST_F(MilanCardTest, ClockWordBitsAndClockSources) {
    struct Case {
        std::uint8_t index;
        std::uint32_t select;
    };
    for (const Case& c : {Case{0, 255}, Case{1, 128}, Case{6, 133}, Case{7, 0}, Case{22, 15},
                          Case{23, 63}, Case{24, 64}, Case{39, 79}, Case{40, 127}}) {
        ASSERT_TRUE(card().set_clock_source(c.index));
        EXPECT_EQ((fpga().written(0) >> 6) & 0xFF, c.select) << int(c.index);
    }
    const auto writes = fpga().clock_words().size();
    EXPECT_FALSE(card().set_clock_source(41));
    EXPECT_EQ(fpga().clock_words().size(), writes);

    ASSERT_TRUE(card().set_madi(true, true));
    EXPECT_EQ(fpga().written(0) & 0x18, 0x10u);
    ASSERT_TRUE(card().set_madi(false, false));
    EXPECT_EQ(fpga().written(0) & 0x18, 0x08u);
    ASSERT_TRUE(card().set_wordclock_input(false));
    EXPECT_EQ(sim->devices.gpio->sets.back(), (sim::GpioEvent{22, false}));
}

TEST_F(MilanCardTest, SampleRateChangeReconfiguresStreamsAndRouting) {
    BlockRoutingBanks banks;
    for (std::uint8_t i = 0; i < 8; ++i) {
        banks.pci[i] = static_cast<std::uint8_t>(8 + i);
        banks.net[i] = i;
    }
    banks.madi = {16, 17, 18, 19};
    std::vector<AudioMapping> listener;
    for (std::uint16_t n = 0; n < 256; ++n) {
        listener.push_back(
            {static_cast<std::uint16_t>(n / 16), static_cast<std::uint16_t>(n % 16), n});
    }
    card().set_audio_mappings(listener, {});
    ASSERT_TRUE(card().apply_routing(banks));
    const auto before = fpga().control3_writes().size();
    ASSERT_TRUE(card().set_sampling_rate(4));
    EXPECT_EQ(fpga().written(0) & 7, 4u);
    const auto control3 = fpga().control3_writes();
    ASSERT_EQ(control3.size(), before + 32);
    EXPECT_EQ(control3[before + 2 * 5], 0x20040u | ((5 * 16) << 8) | 5);
    // 96 kHz: recording channel 255 <- cluster 255 = stream 15 channel 15.
    EXPECT_EQ(fpga().routing_word(0x800 / 4 + 255), 512u + 15 * 16 + 15);
    EXPECT_EQ(fpga().routing_word(0x800 / 4 + 256), 0xFFFFu);
    EXPECT_EQ(fpga().routing_word(32 + 31), 1024u + 32 + 31);  // MADI A2 <- MADI A2 input
    EXPECT_FALSE(card().set_sampling_rate(7));
    EXPECT_FALSE(card().set_sampling_rate(0));
    EXPECT_EQ(card().rate_code(), 4);
}

TEST_F(MilanCardTest, StreamFormatCommands) {
    const auto before = fpga().control3_writes().size();
    ASSERT_TRUE(card().set_stream_format(3, true, 8, StreamFormatKind::Aaf));
    ASSERT_TRUE(card().set_stream_format(63, false, 0, StreamFormatKind::Crf));
    ASSERT_TRUE(card().set_stream_format(1, false, 32, StreamFormatKind::Iec61883));
    EXPECT_FALSE(card().set_stream_format(1, false, 33, StreamFormatKind::Aaf));
    const auto control3 = fpga().control3_writes();
    ASSERT_EQ(control3.size(), before + 3);
    EXPECT_EQ(control3[before], 0x20000u | 0x4000 | (7 << 8) | 0x80 | 3);
    EXPECT_EQ(control3[before + 1], 0x20000u | 0x2000 | 63);
    EXPECT_EQ(control3[before + 2], 0x20000u | (31 << 8) | 1);
    fpga().set_control3_busy_reads(-1);
    auto stuck = card().set_stream_format(2, true, 2, StreamFormatKind::Aaf);
    ASSERT_FALSE(stuck);
    EXPECT_EQ(stuck.error().text(), "IO Error: Write to Control3 register took too long");
}

TEST_F(MilanCardTest, StreamOutputStartStopCountersAndMasks) {
    fpga().set_counter(1, 5, 77);
    fpga().set_counter(1, 5 | 0x2C0, 3);
    ASSERT_TRUE(card().stream_output_start(1, 5));
    EXPECT_EQ(fpga().counter(1, 5), 0u);
    EXPECT_EQ(fpga().counter(1, 5 | 0x2C0), 0u);
    EXPECT_EQ(fpga().written(0x620), 1u << 5);
    EXPECT_EQ(fpga().core_writes(0x620), 2u);
    fpga().set_counter(1, 5, 12);
    ASSERT_TRUE(card().stream_output_start(1, 5));  // second start: no clear, no mask write
    EXPECT_EQ(fpga().counter(1, 5), 12u);
    EXPECT_EQ(fpga().core_writes(0x620), 2u);
    ASSERT_TRUE(card().stream_output_stop(1, 5));
    EXPECT_EQ(fpga().written(0x620), 0u);
    EXPECT_EQ(fpga().unstrobed_counter_writes(), 0);
    EXPECT_EQ(fpga().written(0) & avb::kCounterClear, 0u);  // strobe taken down again

    ASSERT_TRUE(card().stream_output_start(0, 40));  // second mask word of the port
    EXPECT_EQ(fpga().written(0x610), 1u << 8);
    EXPECT_FALSE(card().stream_output_start(2, 0));
    EXPECT_FALSE(card().stream_output_start(0, 64));

    auto counters = card().poll_counters();
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->outputs[1][5], (avb::OutputCounters{12, 0, 1, 1}));
    EXPECT_EQ(counters->outputs[0][40].stream_start, 1u);
    EXPECT_EQ(counters->outputs[0][40].stream_stop, 0u);
}

TEST_F(MilanCardTest, InputDestinationSuffix) {
    ASSERT_TRUE(card().set_stream_input_destination(1, 3, {0x91, 0xE0, 0xF0, 0, 0x12, 0x34}));
    EXPECT_EQ(fpga().written(0x800 + 0x100 + 12), 0x1234u);
    EXPECT_EQ(card().new_destination(1), 1u << 3);
    const auto writes = fpga().core_writes(0x90C);
    ASSERT_TRUE(card().set_stream_input_destination(1, 3, {0x91, 0xE0, 0xF0, 1, 0x12, 0x34}));
    EXPECT_EQ(fpga().core_writes(0x90C), writes);  // same suffix: not written again
    ASSERT_TRUE(card().set_stream_input_destination(0, 50, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(fpga().written(0x800 + 50 * 4), 0xFFFFu);
    EXPECT_EQ(card().new_destination(0), 0u);
}

TEST_F(MilanCardTest, ReadStatusDecodesAllWords) {
    // Primary slot 10 has code 5 = 0b101 across the first word boundary (bits 30-32).
    fpga().set_slot_rate_word(0, 1u << 30);
    fpga().set_slot_rate_word(1, 1u);
    // Secondary slot 0 sits at bit 192: word 6.
    fpga().set_slot_rate_word(6, 4u);
    fpga().set_slot_lock_word(1, 1u << 31);  // primary slot 63
    fpga().set_slot_lock_word(2, 1u);        // secondary slot 0
    fpga().set_fixed_inputs((7u << 0) | (2u << 3) | (6u << 15) | (1u << 19) | (1u << 23));
    fpga().set_lock_source(70);
    sim->devices.gpio->set_input(26, true);
    auto status = card().read_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->streams[0][10], (RateLock{5, 0}));
    EXPECT_EQ(status->streams[0][11], (RateLock{0, 0}));
    EXPECT_EQ(status->streams[0][63], (RateLock{0, 1}));
    EXPECT_EQ(status->streams[1][0], (RateLock{4, 1}));
    EXPECT_EQ(status->inputs[0], (RateLock{7, 0}));
    EXPECT_EQ(status->inputs[1], (RateLock{2, 1}));
    EXPECT_EQ(status->inputs[5], (RateLock{6, 1}));
    EXPECT_EQ(status->ref_kind, 1);
    EXPECT_EQ(status->ref_number, 6);
    EXPECT_EQ(status->flags, kStatusInputA);

    struct Ref {
        std::uint8_t raw;
        std::uint8_t kind;
        std::uint16_t number;
    };
    for (const Ref& r : {Ref{0, 0, 0}, Ref{63, 0, 63}, Ref{127, 1, 63}, Ref{130, 130, 0},
                         Ref{255, 255, 0}, Ref{134, 254, 0}, Ref{200, 254, 0}}) {
        fpga().set_lock_source(r.raw);
        status = card().read_status();
        EXPECT_EQ(status->ref_kind, r.kind) << int(r.raw);
        EXPECT_EQ(status->ref_number, r.number) << int(r.raw);
    }
    sim->devices.gpio->set_input(20, true);
    EXPECT_EQ(card().read_status()->flags, kStatusInputA | kStatusInputB);
    sim->devices.gpio->fail_reads = true;
    EXPECT_EQ(card().read_status()->flags, 0);
}

TEST_F(MilanCardTest, InternalClockCountsAsLockedOnce) {
    // Start-up selects the internal clock: locked at the first read, never again.
    ASSERT_TRUE(card().read_status());
    ASSERT_TRUE(card().read_status());
    EXPECT_EQ(card().locked_count(), 1u);
    EXPECT_EQ(card().unlocked_count(), 0u);
}

TEST_F(MilanCardTest, LockCountersCountTransitions) {
    ASSERT_TRUE(card().set_clock_source(2));  // MADI A1: lock flag bit 19
    for (bool locked : {true, false, true, true}) {
        fpga().set_fixed_inputs(locked ? 1u << 19 : 0u);
        ASSERT_TRUE(card().read_status());
    }
    EXPECT_EQ(card().locked_count(), 2u);
    EXPECT_EQ(card().unlocked_count(), 1u);

    ASSERT_TRUE(card().set_clock_source(7 + 5));  // primary stream 5; lock of either port counts
    fpga().set_slot_lock_word(2, 1u << 5);
    ASSERT_TRUE(card().read_status());
    EXPECT_EQ(card().locked_count(), 2u);  // still locked: no new transition
    fpga().set_slot_lock_word(2, 0);
    ASSERT_TRUE(card().read_status());
    EXPECT_EQ(card().unlocked_count(), 2u);
    ASSERT_TRUE(card().set_clock_source(1));  // Word Clock without lock flag
    fpga().set_fixed_inputs(0);
    ASSERT_TRUE(card().read_status());
    EXPECT_EQ(card().locked_count(), 2u);
}

TEST_F(MilanCardTest, CounterResetRulesForANewDestination) {
    namespace w = avb::counter_word;
    const std::uint8_t port = 1;
    const std::uint8_t slot = 40;  // beyond the first 32 bits of the slot masks
    for (std::size_t word :
         {w::frames_rx(slot), w::timestamp_uncertain(slot), w::media_reset(slot),
          w::seq_num_mismatch(slot), w::stream_interrupted(slot), w::early_timestamp(slot),
          w::late_timestamp(slot), w::unsupported_format(slot)}) {
        fpga().set_counter(port, word, 9);
    }
    fpga().set_counter(port, w::media_locked(slot), 3);
    fpga().set_counter(port, w::media_unlocked(slot), 2);  // still locked to the old stream
    ASSERT_TRUE(card().set_stream_input_destination(port, slot, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(card().new_destination(port), std::uint64_t{1} << 40);

    auto poll = card().poll_counters();
    ASSERT_TRUE(poll);
    EXPECT_EQ(poll->inputs[port][slot], avb::InputCounters{});
    EXPECT_EQ(fpga().counter(port, w::frames_rx(slot)), 9u);  // nothing cleared yet

    fpga().set_counter(port, w::media_unlocked(slot), 3);  // unlocked now
    poll = card().poll_counters();
    EXPECT_EQ(poll->inputs[port][slot], avb::InputCounters{});
    for (std::size_t word : {w::frames_rx(slot), w::media_reset(slot), w::media_locked(slot),
                             w::media_unlocked(slot), w::unsupported_format(slot)}) {
        EXPECT_EQ(fpga().counter(port, word), 0u) << word;
    }
    EXPECT_EQ(card().new_destination(port), 0u);
    EXPECT_EQ(card().reset_pending(port), std::uint64_t{1} << 40);

    // The FPGA counts a media reset while locking to the new stream: held at 0 until a frame.
    fpga().set_counter(port, w::media_reset(slot), 1);
    fpga().set_counter(port, w::media_locked(slot), 1);
    poll = card().poll_counters();
    EXPECT_EQ(poll->inputs[port][slot].media_reset, 0u);
    EXPECT_EQ(poll->inputs[port][slot].media_locked, 1u);
    EXPECT_EQ(fpga().counter(port, w::media_reset(slot)), 1u);
    fpga().set_counter(port, w::frames_rx(slot), 8);
    poll = card().poll_counters();
    EXPECT_EQ(poll->inputs[port][slot].frames_rx, 8u);
    EXPECT_EQ(poll->inputs[port][slot].media_reset, 0u);
    EXPECT_EQ(fpga().counter(port, w::media_reset(slot)), 0u);
    EXPECT_EQ(card().reset_pending(port), 0u);
    fpga().set_counter(port, w::media_reset(slot), 2);
    EXPECT_EQ(card().poll_counters()->inputs[port][slot].media_reset, 2u);
    EXPECT_EQ(fpga().unstrobed_counter_writes(), 0);
    // Other slots are untouched and report what the FPGA counts.
    fpga().set_counter(0, w::late_timestamp(7), 4);
    EXPECT_EQ(card().poll_counters()->inputs[0][7].late_timestamp, 4u);
}

TEST_F(MilanCardTest, HostGetsReportsThroughTheSimulatedLink) {
    auto link = sim->make_link();
    auto host = sim->host();
    host.send(ControlWord{1, 0, 0, 0});
    auto received = link.receive();
    ASSERT_TRUE(received);
    ASSERT_EQ(received->status, ReceiveStatus::Word);
    ASSERT_TRUE(link.send_word(MessageType::SamplingRate, 1, card().rate_code()));
    EXPECT_EQ(host.take_reports(), std::vector<ControlWord>{(ControlWord{1, 1, 2, 3})});

    ASSERT_TRUE(send_static_info(link, VersionRecord{1, 4, 2}, card().design_id(), false,
                                 MacAddress{0x00, 0x1C, 0x2B, 0x3A, 0x49, 0x58}, std::nullopt));
    ASSERT_TRUE(send_liveness(link));
    ASSERT_TRUE(send_routing(link, BlockRoutingBanks{}, 0));
    const auto reports = host.take_reports();
    ASSERT_EQ(reports.size(), 2u + 6u + 1u + 12u);
    EXPECT_EQ(reports[0], (ControlWord{7, 1, 0x0104, 3}));
    EXPECT_EQ(reports[1], (ControlWord{7, 2, 0x0203, 3}));
    EXPECT_EQ(reports[2], (ControlWord{7, 3, 0x001C, 3}));
    EXPECT_EQ(reports[8], (ControlWord{6, 2, 0, 3}));
    EXPECT_EQ(reports[20], (ControlWord{8, 12, 0, 3}));
    EXPECT_EQ(fpga().link_protocol_errors(), 0);
}

TEST(CardOpen, StartFailuresAreErrors) {
    FakeClock clock;
    sim::FakeSleeper sleeper(clock);
    {
        sim::SimPeripherals devices;
        auto parts = sim::make_milan_parts(sim::MilanFpga::create(), sleeper, devices);
        devices.pll->fail_at = 0;
        auto card = avb::Card::open(std::move(parts));
        ASSERT_FALSE(card);
        EXPECT_EQ(card.error().text(), "PLL Error: I2C error: no acknowledge");
    }
    {
        auto fpga = sim::MilanFpga::create();
        fpga->set_control3_busy_reads(-1);
        sim::SimPeripherals devices;
        auto card = avb::Card::open(sim::make_milan_parts(fpga, sleeper, devices));
        ASSERT_FALSE(card);
        EXPECT_EQ(card.error().text(), "IO Error: Write to Control3 register took too long");
    }
    {
        sim::SimPeripherals devices;
        auto parts = sim::make_dante_parts(sim::DanteFpga::create(), sleeper, devices);
        parts.map_window = [](std::uint32_t,
                              std::size_t) -> std::expected<RegisterWindow, IoError> {
            return std::unexpected(IoError{IoKind::Os, "open /dev/mem failed: Permission denied"});
        };
        auto card = dante::Card::open(std::move(parts));
        ASSERT_FALSE(card);
        EXPECT_EQ(card.error().text(), "IO Error: open /dev/mem failed: Permission denied");
    }
}

class DanteCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto opened = sim::SimDanteCard::open();
        ASSERT_TRUE(opened) << opened.error().text();
        sim = std::move(*opened);
    }
    std::unique_ptr<sim::SimDanteCard> sim;
};

TEST_F(DanteCardTest, StartValuesStatusAndRate) {
    auto& fpga = *sim->fpga;
    auto& card = *sim->card;
    EXPECT_EQ(fpga.written(dante::kControl), 0x20100u);
    EXPECT_EQ(fpga.written(dante::kMadiControl), 0x2u);
    EXPECT_EQ(fpga.written(dante::kAes3Routing), 0u);
    EXPECT_EQ(card.version(), 0x42u);
    EXPECT_EQ(sim->devices.pll, nullptr);

    fpga.set_clock_in_effect(3);
    fpga.set_rates(0x2211);  // Word Clock 0x11 = 17, AES/EBU 0x22 = 34
    fpga.set_madi_rates(0x05210201);
    fpga.set_lock_flags((1u << 12) | (1u << 9));
    sim->devices.gpio->set_input(20, true);
    auto status = card.read_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->inputs[0], (RateLock{3, 1}));
    EXPECT_EQ(status->inputs[1], (RateLock{1, 0}));
    EXPECT_EQ(status->inputs[2], (RateLock{2, 1}));
    EXPECT_EQ(status->inputs[3], (RateLock{5, 0}));
    EXPECT_EQ(status->inputs[4], (RateLock{7, 0}));
    EXPECT_EQ(status->inputs[5], (RateLock{6, 0}));
    EXPECT_EQ(status->clock_in_effect, 3);
    EXPECT_EQ(status->flags, kStatusInputB);
    fpga.set_control_low_byte(0x75);
    EXPECT_EQ(card.read_status()->clock_in_effect, 255);
    fpga.set_control_low_byte(0x6F);
    EXPECT_EQ(card.read_status()->clock_in_effect, 6);

    BlockRoutingBanks banks;
    banks.pci.fill(20);
    banks.pci[0] = 1;
    banks.aes3_in_enabled = true;
    banks.aes3_in_pair = 20;   // recording channel 40
    banks.aes3_out_pair = 40;  // playback channel 80
    ASSERT_TRUE(card.apply_routing(banks));
    EXPECT_EQ(fpga.written(dante::kAes3Routing), (1u << 15) | 40u | (16u << 16) | (1u << 22));
    EXPECT_EQ(fpga.routing_entry(0), 64u);
    EXPECT_EQ(fpga.routing_entry(32), 64u + 32);
    ASSERT_TRUE(card.set_sampling_rate(4));
    EXPECT_EQ(fpga.written(dante::kControl), 0x40100u);
    EXPECT_EQ(fpga.routing_entry(31), 64u + 31);  // the bank shrinks to 32 channels
    EXPECT_EQ(fpga.routing_entry(32), 0xFFFFu);
    auto refused = card.set_sampling_rate(7);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().cause, "Cannot set NoLock as sampling rate");
    EXPECT_EQ(fpga.written(dante::kControl), 0x40100u);
    ASSERT_TRUE(card.set_clock_source(5));
    EXPECT_EQ(fpga.written(dante::kControl), 0x40105u);
    EXPECT_FALSE(card.set_clock_source(7));
    ASSERT_TRUE(card.set_madi(true, true));
    EXPECT_EQ(fpga.written(dante::kMadiControl), 0x1u);
}

}  // namespace
}  // namespace qz::device
