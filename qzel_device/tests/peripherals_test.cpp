#include <gtest/gtest.h>
#include <linux/gpio.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "qzel_device/clock_chips.h"
#include "qzel_device/dante/link_leds.h"
#include "qzel_device/led.h"
#include "qzel_device/linux_io.h"
#include "sim/devices.h"

namespace qz::device {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(Pll, ProgrammingSequenceAndFailure) {
    sim::SimI2cBus bus;
    ASSERT_TRUE(program_pll(bus));
    std::vector<Bytes> writes;
    for (const auto& t : bus.transfers) {
        EXPECT_FALSE(t.read);
        EXPECT_EQ(t.address, 0x4F);
        writes.push_back(t.bytes);
    }
    EXPECT_EQ(writes, (std::vector<Bytes>{{0x02, 0x00},
                                          {0x03, 0x00},
                                          {0x05, 0x00},
                                          {0x86, 0x00, 0x00, 0x10, 0x00},
                                          {0x16, 0x00},
                                          {0x17, 0x00},
                                          {0x1E, 0x00},
                                          {0x03, 0x04},
                                          {0x16, 0x08},
                                          {0x17, 0x10},
                                          {0x1E, 0x70},
                                          {0x03, 0x05},
                                          {0x05, 0x01}}));

    sim::SimI2cBus failing;
    failing.fail_at = 3;
    auto result = program_pll(failing);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Pll);
    EXPECT_EQ(result.error().text(), "PLL Error: I2C error: no acknowledge");
    EXPECT_EQ(failing.transfers.size(), 4u);
}

TEST(HeadphoneDac, SequenceEndsUnmutedAtFullVolume) {
    sim::SimI2cBus bus;
    for (std::uint8_t reg = 0; reg <= 0x0B; ++reg) {
        bus.registers[{0x10, reg}] = 0xFF;
    }
    std::vector<std::pair<std::size_t, bool>> mute_calls;  // transfer count at the call
    auto mute = [&](bool value) -> std::expected<void, Error> {
        mute_calls.emplace_back(bus.transfers.size(), value);
        return {};
    };
    ASSERT_TRUE(init_headphone_dac(bus, mute));
    auto reg = [&](std::uint8_t r) { return bus.registers[{0x10, r}]; };
    EXPECT_EQ(reg(0x0B), 0x6F);  // bits 7-6 = 01, bit 4 cleared
    EXPECT_EQ(reg(0x01), 0xE6);  // bits 3, 4 cleared, unmuted
    EXPECT_EQ(reg(0x00), 0xFD);  // bits 3-1 = 110, bit 7 and bit 0 set
    EXPECT_EQ(reg(0x0A), 0x0F);
    EXPECT_EQ(reg(0x05), 0xFD);
    EXPECT_EQ(reg(0x02), 0xF7);
    EXPECT_EQ(reg(0x03), 0xFF);
    EXPECT_EQ(reg(0x04), 0xFF);
    ASSERT_EQ(mute_calls.size(), 1u);
    EXPECT_FALSE(mute_calls[0].second);
    // The GPIO step comes after the volume was set to 0 and before the unmute.
    const auto& before = bus.transfers[mute_calls[0].first - 1];
    EXPECT_EQ(before.bytes, (Bytes{0x04, 0x00}));
    EXPECT_EQ(bus.transfers[mute_calls[0].first].bytes, (Bytes{0x01}));

    sim::SimI2cBus failing;
    failing.fail_at = 0;
    auto result = init_headphone_dac(failing, mute);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), "Headphone DAC Error: I2C error: no acknowledge");
}

TEST(Led, ByteEncodingAndFrameWrite) {
    const auto buffer = encode_led({0x1B, 0x00, 0xFF});
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 12),
              (Bytes{0x88, 0x8E, 0xE8, 0xEE, 0x88, 0x88, 0x88, 0x88, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_TRUE(std::all_of(buffer.begin() + 12, buffer.end(), [](auto b) { return b == 0; }));

    sim::RecordingSpi spi;
    ASSERT_TRUE(write_led(spi, {1, 2, 3}));
    const auto writes = spi.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].size(), 256u);
    EXPECT_EQ(writes[1], Bytes(123, 0));
}

TEST(Led, IdentifySweepAndInterruption) {
    LedAnimator animator;
    EXPECT_EQ(animator.next().colour, kDefaultColour);
    EXPECT_FALSE(animator.next().hold);
    animator.command({2, {}});
    for (unsigned v = 0; v < 256; ++v) {
        const auto frame = animator.next();
        ASSERT_EQ(frame.colour, (LedColour{static_cast<std::uint8_t>(v), 0, 0}));
        ASSERT_EQ(*frame.hold, v == 255 ? Duration(100ms) : Duration(5ms));
    }
    EXPECT_EQ(animator.next().colour, (LedColour{0, 0, 0}));
    EXPECT_EQ(animator.next().colour, (LedColour{0, 1, 0}));
    animator.command({1, {9, 8, 7}});
    const auto custom = animator.next();
    EXPECT_EQ(custom.colour, (LedColour{9, 8, 7}));
    EXPECT_FALSE(custom.hold);
}

TEST(Led, WorkerShowsTheCustomColourDuringASweep) {
    auto spi = std::make_unique<sim::RecordingSpi>();
    auto* recorder = spi.get();
    LedWorker worker(std::move(spi));
    worker.set(2, {});
    const auto sweep_started = std::chrono::steady_clock::now();
    while (recorder->write_count() < 6 && std::chrono::steady_clock::now() - sweep_started < 5s) {
        std::this_thread::sleep_for(1ms);
    }
    worker.set(1, {0x12, 0x34, 0x56});
    const auto wanted = encode_led({0x12, 0x34, 0x56});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool shown = false;
    while (!shown && std::chrono::steady_clock::now() < deadline) {
        const auto writes = recorder->writes();
        shown =
            writes.size() >= 2 && writes[writes.size() - 2] == Bytes(wanted.begin(), wanted.end());
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(shown);
    // Custom colour is static: no further writes while no command arrives.
    const auto count = recorder->write_count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(recorder->write_count(), count);
}

class GpioDir : public ::testing::Test {
protected:
    GpioDir() {
        dir = std::filesystem::temp_directory_path() / ("qz_gpio_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    ~GpioDir() override { std::filesystem::remove_all(dir); }
    void entry(const std::string& name, const std::string& label) {
        std::ofstream(dir / name) << label;
    }
    // Stands in for the chip information request: the file holds the label.
    GpioChipProbe probe = [this](const std::string& path) -> std::expected<ProbedChip, Error> {
        probed.push_back(std::filesystem::path(path).filename().string());
        std::ifstream in(path);
        std::string label;
        std::getline(in, label);
        return ProbedChip{UniqueFd{}, label};
    };
    std::filesystem::path dir;
    std::vector<std::string> probed;
};

TEST_F(GpioDir, SelectsTheChipByLabel) {
    entry("gpiochip0", "pca953x");
    entry("gpiochip1", "zynq_gpio");
    entry("tty0", "zynq_gpio");
    auto chip = find_gpio_chip(dir.string(), "zynq_gpio", probe);
    ASSERT_TRUE(chip);
    EXPECT_EQ(chip->label, "zynq_gpio");
    EXPECT_EQ(probed, (std::vector<std::string>{"gpiochip0", "gpiochip1"}));

    probed.clear();
    std::filesystem::remove(dir / "gpiochip1");
    auto none = find_gpio_chip(dir.string(), "zynq_gpio", probe);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, ErrorKind::Gpio);
    // The real probe on a file that is not a chip fails its ioctl and the search goes on.
    EXPECT_FALSE(find_gpio_chip(dir.string(), "zynq_gpio", probe_gpio_chip));
    auto probed_file = probe_gpio_chip((dir / "gpiochip0").string());
    ASSERT_FALSE(probed_file);
    EXPECT_TRUE(probed_file.error().text().starts_with(
        "GPIO error: Ioctl to GPIO_GET_CHIPINFO_IOCTL failed: "));
}

TEST(LinuxIo, RealDeviceLayersReportKernelErrors) {
    EXPECT_EQ(gpio_v2_flags(5), GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_ACTIVE_LOW);
    EXPECT_EQ(gpio_v2_flags(6), GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_ACTIVE_LOW);
    EXPECT_EQ(gpio_v2_flags(2), GPIO_V2_LINE_FLAG_OUTPUT);

    auto bus = LinuxI2cBus::open("/dev/null");  // not an I2C adapter: the transfer is refused
    ASSERT_TRUE(bus);
    const std::uint8_t bytes[2] = {0x02, 0x00};
    auto written = (*bus)->write(0x4F, bytes);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().text().starts_with("I2C error: Ioctl to I2C_RDWR failed: "));
    EXPECT_FALSE((*bus)->read_register(0x10, 0x01));

    auto spi = LinuxSpiDevice::open("/nonexistent/spidev2.0", 8, kLedSpiSpeed);
    ASSERT_FALSE(spi);
    EXPECT_TRUE(spi.error().text().starts_with("Failed to open SPI device: "));
    auto not_spi = LinuxSpiDevice::open("/dev/null", 8, kLedSpiSpeed);
    ASSERT_FALSE(not_spi);
    EXPECT_TRUE(not_spi.error().text().starts_with("Failed to configue SPI device: "));

    auto mii = LinuxMiiBus::open("lo");  // the loopback device has no PHY
    ASSERT_TRUE(mii);
    auto read = (*mii)->read(4, 17);
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().text().starts_with("IO Error: Ioctl to SIOCGMIIREG failed: "));
    EXPECT_FALSE(LinuxMiiBus::open("an-interface-name-too-long"));
}

TEST(LinkLeds, CodesValuesAndUpdates) {
    struct Case {
        std::uint16_t status;
        std::uint8_t code;
    };
    for (const Case& c : {Case{0x0000, 0}, Case{0xC800, 0}, Case{0x0400, 1}, Case{0x0C00, 2},
                          Case{0x4C00, 3}, Case{0x8C00, 4}, Case{0xCC00, 1}}) {
        EXPECT_EQ(dante::link_code(c.status), c.code) << c.status;
    }
    EXPECT_EQ(dante::led_value(0, 2), 0xE418);
    EXPECT_EQ(dante::led_value(3, 0), 0xE408);
    EXPECT_EQ(dante::led_value(2, 4), 0xE410);
    EXPECT_EQ(dante::led_value(4, 3), 0xE400);

    sim::SimMii mii;
    mii.registers[{4, 17}] = 0x8C00;  // first port 1 Gb/s
    dante::LinkLeds leds;
    leds.update(mii);
    leds.update(mii);
    ASSERT_EQ(mii.writes.size(), 1u);
    EXPECT_EQ(mii.writes[0], (std::array<std::uint16_t, 3>{28, 26, 0xE408}));
    mii.registers[{3, 17}] = 0x4C00;
    mii.fail_writes = true;
    leds.update(mii);
    mii.fail_writes = false;
    leds.update(mii);  // the failed write is retried
    ASSERT_EQ(mii.writes.size(), 2u);
    EXPECT_EQ(mii.writes[1][2], 0xE400);
    mii.fail_reads = true;
    mii.registers[{4, 17}] = 0;
    leds.update(mii);
    EXPECT_EQ(mii.writes.size(), 2u);
}

}  // namespace
}  // namespace qz::device
