#include "avbd/link_monitor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace qz::avbd {
namespace {

TEST(LinkMonitor, SpeedCodes) {
    const std::pair<const char*, std::uint8_t> cases[] = {
        {"100\n", 1}, {"1000\n", 2}, {"10000\n", 3}, {"2500\n", 0},
        {"1000", 0},  {"-1\n", 0},   {"", 0},        {"1000\n\n", 0},
    };
    for (const auto& [contents, code] : cases) {
        EXPECT_EQ(speed_code_from(contents), code) << contents;
    }
}

TEST(LinkMonitor, SpeedFileIsReadFromTheInterfaceDirectory) {
    const auto root = std::filesystem::temp_directory_path() / "qz-sysfs-net";
    std::filesystem::create_directories(root / "eth0");
    std::filesystem::create_directories(root / "eth1");
    std::ofstream(root / "eth0" / "speed") << "1000\n";
    std::ofstream(root / "eth1" / "speed") << "2500\n";
    EXPECT_EQ(read_speed_code(root.string(), "eth0"), 2);
    EXPECT_EQ(read_speed_code(root.string(), "eth1"), 0);
    EXPECT_EQ(read_speed_code(root.string(), "eth2"), 0);  // no such file
    std::filesystem::remove_all(root);
}

TEST(LinkMonitor, LedRegisterClearsOneBitPerPortThatIsUp) {
    EXPECT_EQ(link_led_register_value(0b00), 0xE2FF);
    EXPECT_EQ(link_led_register_value(0b01), 0xE2F7);
    EXPECT_EQ(link_led_register_value(0b10), 0xE2EF);
    EXPECT_EQ(link_led_register_value(0b11), 0xE2E7);
}

TEST(LinkMonitor, OperstateOutsideTheKnownRangeIsZero) {
    EXPECT_EQ(map_operstate(0), 0);
    EXPECT_EQ(map_operstate(3), 3);
    EXPECT_EQ(map_operstate(6), 6);
    EXPECT_EQ(map_operstate(7), 0);
    EXPECT_EQ(map_operstate(255), 0);
}

}  // namespace
}  // namespace qz::avbd
