#include "qzel_device/routing.h"

#include <gtest/gtest.h>

#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"
#include "sim/fpga.h"

namespace qz::device {
namespace {

TEST(Routing, EncodingsAt48_96_192InBothDesigns) {
    struct Case {
        Design design;
        std::uint8_t rate;
        RoutingSource source;
        std::uint16_t code;
    };
    const Case cases[] = {
        {Design::Milan, 2, RoutingSource::pci(40), 40},
        {Design::Milan, 2, RoutingSource::stream(3, 5), 512 + 3 * 32 + 5},
        {Design::Milan, 4, RoutingSource::stream(3, 5), 512 + 3 * 16 + 5},
        {Design::Milan, 6, RoutingSource::stream(15, 7), 512 + 15 * 8 + 7},
        {Design::Milan, 2, RoutingSource::madi(1, 3), 1024 + 64 + 3},
        {Design::Milan, 4, RoutingSource::madi(1, 3), 1024 + 32 + 3},
        {Design::Milan, 6, RoutingSource::madi(3, 15), 1024 + 48 + 15},
        {Design::Milan, 4, RoutingSource::aes3(1), 1281},
        {Design::Milan, 6, RoutingSource::none(), 0xFFFF},
        {Design::Dante, 2, RoutingSource::pci(40), 40},
        {Design::Dante, 4, RoutingSource::pci(40), 64 + 8},
        {Design::Dante, 6, RoutingSource::pci(40), 128 + 8},
        {Design::Dante, 4, RoutingSource::dante(100), 512 + 192 + 4},
        {Design::Dante, 6, RoutingSource::madi(2, 15), 1024 + 128 + 15},
        {Design::Dante, 2, RoutingSource::none(), 0xFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.design == Design::Milan ? "milan " : "dante ") << int(c.rate) << " "
                     << int(c.source.kind) << " " << c.source.a << " " << c.source.b);
        const std::uint16_t code =
            c.design == Design::Milan
                ? avb::encode(c.source, bank_size(c.rate), avb::channels_per_stream(c.rate))
                : dante::encode(c.source, bank_size(c.rate));
        EXPECT_EQ(code, c.code);
    }
}

// Host recording bank 0 takes network bank 1 (code 9) at 48 kHz through the listener mappings;
// AES3 overlay on pair 3.
TEST(Routing, MilanExpansionAndWriteOrder) {
    BlockRoutingBanks banks;
    banks.pci.fill(20);
    banks.pci[0] = 9;
    banks.pci[1] = 0;  // host playback bank 0
    banks.madi = {16, 2, 25, 19};
    banks.net.fill(20);
    banks.net[1] = 17;
    banks.aes3_in_enabled = true;
    banks.aes3_in_pair = 3;
    banks.aes3_out_pair = 4;
    const std::vector<AudioMapping> listener = {{2, 5, 64}, {3, 0, 70}, {4, 1, 64}, {20, 0, 71}};
    const std::vector<AudioMapping> talker = {{0, 0, 64}, {15, 31, 127}, {1, 0, 512}};

    const auto table = avb::expand(banks, 2, listener, talker);
    EXPECT_EQ(table.pci[0], RoutingSource::stream(2, 5));  // first match wins
    EXPECT_EQ(table.pci[1], RoutingSource::none());
    EXPECT_EQ(table.pci[6], RoutingSource::aes3(0));  // overlay after expansion
    EXPECT_EQ(table.pci[7], RoutingSource::aes3(1));
    EXPECT_EQ(table.pci[8], RoutingSource::none());  // cluster 72 unmapped
    EXPECT_EQ(table.pci[64 + 10], RoutingSource::pci(10));
    EXPECT_EQ(table.pci[128], RoutingSource::none());  // bank code 20: silence
    EXPECT_EQ(table.madi[1][63], RoutingSource::pci(2 * 64 + 63));
    EXPECT_EQ(table.madi[2][0], RoutingSource::none());
    EXPECT_EQ(table.madi[3][5], RoutingSource::madi(3, 5));
    EXPECT_EQ(table.aes3[1], RoutingSource::pci(9));
    EXPECT_EQ(table.net[0], RoutingSource::madi(1, 0));  // talker bank 1 <- MadiA2
    EXPECT_EQ(table.net[15 * 32 + 31], RoutingSource::madi(1, 63));
    EXPECT_EQ(table.net[1 * 32 + 0], RoutingSource::none());  // cluster 512: bank 8

    auto fpga = sim::MilanFpga::create();
    RegisterWindow memory(fpga->routing(), avb::kRoutingBase, nullptr);
    ASSERT_TRUE(avb::write_routing(memory, table, 2));
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 0), 512u + 2 * 32 + 5);
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 6), 1280u);
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 128), 0xFFFFu);
    EXPECT_EQ(fpga->routing_word(64 + 63), 2u * 64 + 63);  // MADI A2 channel 63
    EXPECT_EQ(fpga->routing_word(0x404 / 4), 9u);
    EXPECT_EQ(fpga->routing_word(0x1000 / 4 + 15 * 32 + 31), 1024u + 64 + 63);
}

TEST(Routing, MilanAt96And192PacksDensely) {
    BlockRoutingBanks banks;
    for (std::uint8_t i = 0; i < 8; ++i) {
        banks.pci[i] = i;  // host playback straight through
        banks.net[i] = i;
    }
    banks.madi = {0, 1, 2, 3};
    std::vector<AudioMapping> talker;
    for (std::uint16_t s = 0; s < 16; ++s) {
        for (std::uint16_t c = 0; c < 16; ++c) {
            talker.push_back({s, c, static_cast<std::uint16_t>(s * 16 + c)});
        }
    }
    auto fpga = sim::MilanFpga::create();
    RegisterWindow memory(fpga->routing(), avb::kRoutingBase, nullptr);

    const auto at96 = avb::expand(banks, 4, {}, talker);
    EXPECT_EQ(at96.pci[255], RoutingSource::pci(255));
    EXPECT_EQ(at96.pci[256], RoutingSource::none());
    ASSERT_TRUE(avb::write_routing(memory, at96, 4));
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 255), 255u);
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 256), 0xFFFFu);
    EXPECT_EQ(fpga->routing_word(32 * 3 + 31), 3u * 32 + 31);  // MADI B2 channel 31 at word 127
    // Stream 1 channel 0 sits right after stream 0's 16 channels.
    EXPECT_EQ(fpga->routing_word(0x1000 / 4 + 16), 16u);

    const auto at192 = avb::expand(banks, 6, {}, talker);
    ASSERT_TRUE(avb::write_routing(memory, at192, 6));
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 127), 127u);
    EXPECT_EQ(fpga->routing_word(0x800 / 4 + 128), 0xFFFFu);
    EXPECT_EQ(fpga->routing_word(0x1000 / 4 + 8 * 7 + 7), 7u * 16 + 7);
    // Cluster channels of stream 15 lie beyond the eight banks at this rate: silent.
    EXPECT_EQ(fpga->routing_word(0x1000 / 4 + 8 * 15 + 7), 0xFFFFu);
    EXPECT_EQ(fpga->routing_word(16 * 3 + 15), 3u * 16 + 15);
}

TEST(Routing, DanteKeepsEveryBankOnA64Grid) {
    BlockRoutingBanks banks;
    banks.pci.fill(20);
    banks.pci[0] = 1;   // host playback bank 1
    banks.pci[1] = 10;  // Dante receive bank 3
    banks.net.fill(20);
    banks.net[7] = 19;
    banks.madi = {0, 20, 20, 16};
    auto fpga = sim::DanteFpga::create();
    RegisterWindow memory(fpga->routing(), dante::kRoutingBase, nullptr);

    const auto table = dante::expand(banks, 4);
    EXPECT_EQ(table.pci[0], RoutingSource::pci(32));
    EXPECT_EQ(table.pci[32 + 8], RoutingSource::dante(2 * 32 + 8));
    ASSERT_TRUE(dante::write_routing(memory, table, 4));
    EXPECT_EQ(fpga->routing_entry(8), 64u + 8);  // host playback channel 40
    EXPECT_EQ(fpga->routing_entry(31), 64u + 31);
    EXPECT_EQ(fpga->routing_entry(32), 0xFFFFu);                // rest of bank 0's block
    EXPECT_EQ(fpga->routing_entry(64 + 8), 512u + 2 * 64 + 8);  // bank 1's block
    EXPECT_EQ(fpga->routing_entry(0x800 / 2 + 7 * 64 + 31), 1024u + 3 * 64 + 31);
    EXPECT_EQ(fpga->routing_entry(0xC00 / 2 + 0 * 64 + 31), 31u);
    EXPECT_EQ(fpga->routing_entry(0xC00 / 2 + 0 * 64 + 32), 0xFFFFu);
    EXPECT_EQ(fpga->routing_entry(0xC00 / 2 + 3 * 64 + 5), 1024u + 5);
    EXPECT_EQ(fpga->routing_entry(0x400 / 2), 0u);  // 0x400-0x7FF is never written

    const auto at48 = dante::expand(banks, 2);
    ASSERT_TRUE(dante::write_routing(memory, at48, 2));
    EXPECT_EQ(fpga->routing_entry(63), 127u);
    EXPECT_EQ(fpga->routing_entry(64 + 63), 512u + 2 * 64 + 63);
}

}  // namespace
}  // namespace qz::device
