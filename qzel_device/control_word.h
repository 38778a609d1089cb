// The 32-bit word of the parallel control interface, shared by the card end and the host end.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>

namespace qz::device {

enum class MessageType : std::uint8_t {
    SamplingRate = 1,
    Clock = 2,
    RefClock = 3,
    ClockStates = 4,
    MiscSettings = 5,
    MiscStatus = 6,
    StaticInfo = 7,
    BlockRouting = 8,
    HpVolume = 9,
    Led = 10,
    DeviceName = 11,
    IpConfig = 12,
    ChannelRouting = 13,
    InternalCommand = 14,
    FactoryReset = 15,
    SshKey = 16,
    AvbInputStreamFormat = 19,
    AvbOutputStreamFormat = 20,
};

enum class Op : std::uint8_t { Get = 0, Set = 1, Resp = 2, Notif = 3 };

struct ControlWord {
    std::uint8_t type{0};
    std::uint8_t index{0};
    std::uint16_t value{0};
    std::uint8_t op{0};

    friend bool operator==(const ControlWord&, const ControlWord&) = default;
};

// Types 1-16, 19 and 20.
inline constexpr std::uint32_t kValidTypeMask = 0x19FFFE;

constexpr bool valid_type(std::uint8_t type) {
    return type <= 20 && ((kValidTypeMask >> type) & 1u) != 0;
}

constexpr bool even_parity(std::uint32_t word) {
    return std::popcount(word) % 2 == 0;
}

constexpr std::uint32_t encode(const ControlWord& word) {
    std::uint32_t raw = word.value | (std::uint32_t{word.index} << 16) |
                        (std::uint32_t{word.type & 0x1Fu} << 24) |
                        (std::uint32_t{word.op & 3u} << 29);
    if (std::popcount(raw) % 2 != 0) {
        raw |= 0x80000000u;
    }
    return raw;
}

constexpr std::uint32_t encode(MessageType type, std::uint8_t index, std::uint16_t value, Op op) {
    return encode(
        ControlWord{static_cast<std::uint8_t>(type), index, value, static_cast<std::uint8_t>(op)});
}

enum class DecodeFault { Parity, InvalidType };

struct DecodeError {
    DecodeFault fault;
    std::uint8_t type;  // the type field as received
};

constexpr std::expected<ControlWord, DecodeError> decode(std::uint32_t raw) {
    const auto type = static_cast<std::uint8_t>((raw >> 24) & 0x1F);
    if (!even_parity(raw)) {
        return std::unexpected(DecodeError{DecodeFault::Parity, type});
    }
    if (!valid_type(type)) {
        return std::unexpected(DecodeError{DecodeFault::InvalidType, type});
    }
    return ControlWord{type, static_cast<std::uint8_t>((raw >> 16) & 0xFF),
                       static_cast<std::uint16_t>(raw & 0xFFFF),
                       static_cast<std::uint8_t>((raw >> 29) & 3)};
}

}  // namespace qz::device
