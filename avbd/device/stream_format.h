// The parts of an IEEE 1722 stream format value the card's hardware and the host need.
#pragma once

#include <cstdint>
#include <optional>

#include "qzel_device/reports.h"

namespace qz::avbd {

struct StreamFormatInfo {
    device::StreamFormatKind kind{device::StreamFormatKind::Iec61883};
    std::uint8_t channels{0};
    std::optional<std::uint8_t> rate_code;  // 0-6
};

StreamFormatInfo decode_stream_format(std::uint64_t format);

// 0 = 32000 Hz ... 6 = 192000 Hz.
std::optional<std::uint8_t> rate_code_of(std::uint32_t hz);
std::uint32_t rate_hz_of(std::uint8_t code);

}  // namespace qz::avbd
