// Builders of ptp4l answers and gPTP frames for the tests of this module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qz::ptp::testing {

inline void put(std::vector<std::uint8_t>& b, std::size_t offset, std::uint64_t value,
                std::size_t width) {
    if (b.size() < offset + width) {
        b.resize(offset + width, 0);
    }
    for (std::size_t i = 0; i < width; ++i) {
        b[offset + width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A management answer with one TLV of `tlv_type` carrying `value` (management id included for
// MANAGEMENT TLVs).
inline std::vector<std::uint8_t> management_answer(std::uint16_t sequence_id,
                                                   std::uint16_t tlv_type,
                                                   const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> m(48, 0);
    m[0] = 0x1D;
    m[1] = 0x02;
    put(m, 30, sequence_id, 2);
    put(m, 48, tlv_type, 2);
    put(m, 50, value.size(), 2);
    m.insert(m.end(), value.begin(), value.end());
    put(m, 2, m.size(), 2);
    return m;
}

inline std::vector<std::uint8_t> port_data_set_answer(std::uint16_t sequence_id,
                                                      std::uint8_t port_state,
                                                      std::int64_t scaled_delay) {
    std::vector<std::uint8_t> v;
    put(v, 0, 0x2004, 2);
    put(v, 2, 0x0011223344556677ULL, 8);
    put(v, 10, 1, 2);
    v.push_back(port_state);
    v.push_back(0);
    put(v, 14, static_cast<std::uint64_t>(scaled_delay), 8);
    v.resize(28, 0);
    return management_answer(sequence_id, 0x0001, v);
}

// An Ethernet frame with a gPTP Announce whose path trace lists `path`; `extra_tlv` appends a
// second TLV after it.
inline std::vector<std::uint8_t> announce_frame(std::uint64_t grandmaster,
                                                const std::vector<std::uint64_t>& path,
                                                bool extra_tlv = false,
                                                std::uint8_t message_type = 0xB) {
    std::vector<std::uint8_t> f(14, 0);
    f[0] = 0x01, f[1] = 0x80, f[2] = 0xC2, f[5] = 0x0E;
    put(f, 12, 0x88F7, 2);
    f.resize(78, 0);
    f[14] = static_cast<std::uint8_t>(0x10 | message_type);
    f[15] = 0x02;
    put(f, 67, grandmaster, 8);
    put(f, 78, 0x0008, 2);
    put(f, 80, path.size() * 8, 2);
    for (std::size_t i = 0; i < path.size(); ++i) {
        put(f, 82 + i * 8, path[i], 8);
    }
    if (extra_tlv) {
        const std::size_t at = f.size();
        put(f, at, 0x0003, 2);
        put(f, at + 2, 4, 2);
        put(f, at + 4, 0, 4);
    }
    put(f, 16, f.size() - 14, 2);
    return f;
}

}  // namespace qz::ptp::testing
