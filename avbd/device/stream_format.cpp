#include "avbd/device/stream_format.h"

#include <algorithm>
#include <array>

namespace qz::avbd {
namespace {

constexpr std::array<std::uint32_t, 7> kRates{32000, 44100, 48000, 88200, 96000, 176400, 192000};

}  // namespace

std::optional<std::uint8_t> rate_code_of(std::uint32_t hz) {
    const auto it = std::find(kRates.begin(), kRates.end(), hz);
    if (it == kRates.end()) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(it - kRates.begin());
}

std::uint32_t rate_hz_of(std::uint8_t code) {
    return code < kRates.size() ? kRates[code] : 0;
}

StreamFormatInfo decode_stream_format(std::uint64_t format) {
    StreamFormatInfo info;
    const auto subtype = static_cast<std::uint8_t>((format >> 56) & 0x7F);
    switch (subtype) {
        case 0x02: {  // AAF: nsr in bits 51-48, channels_per_frame in bits 31-22
            info.kind = device::StreamFormatKind::Aaf;
            info.channels =
                static_cast<std::uint8_t>(std::min<std::uint64_t>((format >> 22) & 0x3FF, 255));
            static constexpr std::array<std::int8_t, 16> kNsr{-1, -1, -1, 0,  1,  2,  3,  4,
                                                              5,  6,  -1, -1, -1, -1, -1, -1};
            if (const auto code = kNsr[(format >> 48) & 0xF]; code >= 0) {
                info.rate_code = static_cast<std::uint8_t>(code);
            }
            break;
        }
        case 0x04: {  // CRF: base frequency in the low 29 bits
            info.kind = device::StreamFormatKind::Crf;
            info.channels = 0;
            info.rate_code = rate_code_of(static_cast<std::uint32_t>(format & 0x1FFFFFFF));
            break;
        }
        default: {  // IEC 61883-6 (and any other subtype): fdf_sfc in bits 42-40, dbs in 39-32
            info.kind = device::StreamFormatKind::Iec61883;
            info.channels = static_cast<std::uint8_t>((format >> 32) & 0xFF);
            if (const auto sfc = static_cast<std::uint8_t>((format >> 40) & 0x7); sfc <= 6) {
                info.rate_code = sfc;
            }
            break;
        }
    }
    return info;
}

}  // namespace qz::avbd
