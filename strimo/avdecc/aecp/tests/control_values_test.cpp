#include "strimo/avdecc/aecp/control_values.h"

#include <gtest/gtest.h>

namespace qz::strimo::avdecc::commands {
namespace {

using namespace entity;

TEST(ControlValues, CurrentValuesRoundTripAndAreChecked) {
    Linear<std::int16_t> gain{{{-100, 100, 1, 0, 5, 0, 0}, {-100, 100, 1, 0, -7, 0, 0}}};
    ControlValues values = gain;
    const auto bytes = encode_current_values(values);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x00, 0x05, 0xFF, 0xF9}));

    auto decoded = decode_current_values(values, std::vector<std::uint8_t>{0x00, 0x64, 0xFF, 0x9C});
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(std::get<Linear<std::int16_t>>(*decoded).values[0].current, 100);
    EXPECT_EQ(std::get<Linear<std::int16_t>>(*decoded).values[1].current, -100);

    struct Case {
        const char* what;
        ControlValues values;
        std::vector<std::uint8_t> bytes;
    };
    SelectorValue<std::uint8_t> selector{1, 1, {1, 2, 4}, 0};
    Vendor vendor{0x1122334455667788, {1, 2}};
    const Case refused[] = {
        {"short", values, {0x00, 0x05, 0xFF}},
        {"long", values, {0x00, 0x05, 0xFF, 0xF9, 0x00}},
        {"above maximum", values, {0x00, 0x65, 0x00, 0x00}},
        {"not an option", Selector<std::uint8_t>{selector}, {3}},
        {"vendor blob size", vendor, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0, 3, 1, 2}},
        {"other vendor", vendor, {0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"empty", values, {}},
    };
    for (const auto& c : refused) {
        EXPECT_FALSE(decode_current_values(c.values, c.bytes)) << c.what;
    }
    EXPECT_TRUE(
        decode_current_values(Selector<std::uint8_t>{selector}, std::vector<std::uint8_t>{4}));
    EXPECT_TRUE(decode_current_values(
        vendor,
        std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0, 1, 9}));
}

}  // namespace
}  // namespace qz::strimo::avdecc::commands
