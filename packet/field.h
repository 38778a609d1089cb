// Bounds-checked big-endian field access over a frame buffer.
//
// A field is a constant naming its offset from the first byte of the Ethernet frame and its
// width by type; packed fields add a mask and shift inside a 16- or 32-bit word. Every read and
// write tests the frame length first, so a short frame gives a PacketError, never an access past
// the end. Writing a packed field keeps the other bits of its word.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <type_traits>

#include "packet/packet_error.h"

namespace qz::packet {

using Bytes6 = std::array<std::uint8_t, 6>;  // MAC addresses and 48-bit protocol identifiers

template <typename T>
struct Field {
    std::size_t offset;
};

// `bits` low bits of the big-endian Word at `offset`, after shifting right by `shift`.
template <typename Word>
struct PackedField {
    std::size_t offset;
    unsigned shift;
    unsigned bits;
    constexpr Word mask() const {
        return static_cast<Word>(((std::uint64_t{1} << bits) - 1U) << shift);
    }
};

inline std::expected<void, PacketError> check(std::size_t size, std::size_t offset,
                                              std::size_t width) {
    if (offset > size || size - offset < width) {
        return std::unexpected(PacketError{offset, width, size});
    }
    return {};
}

template <typename T>
T load_be(const std::uint8_t* p) {
    if constexpr (std::is_same_v<T, Bytes6>) {
        Bytes6 out{};
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = p[i];
        }
        return out;
    } else {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            v = (v << 8) | p[i];
        }
        return static_cast<T>(v);
    }
}

template <typename T>
void store_be(std::uint8_t* p, T value) {
    if constexpr (std::is_same_v<T, Bytes6>) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            p[i] = value[i];
        }
    } else {
        auto v = static_cast<std::uint64_t>(value);
        for (std::size_t i = sizeof(T); i-- > 0;) {
            p[i] = static_cast<std::uint8_t>(v & 0xFFU);
            v >>= 8;
        }
    }
}

template <typename T>
constexpr std::size_t width_of() {
    return sizeof(T);
}

template <typename T>
std::expected<T, PacketError> get(std::span<const std::uint8_t> frame, Field<T> field) {
    if (auto ok = check(frame.size(), field.offset, width_of<T>()); !ok) {
        return std::unexpected(ok.error());
    }
    return load_be<T>(frame.data() + field.offset);
}

template <typename T>
std::expected<void, PacketError> set(std::span<std::uint8_t> frame, Field<T> field, T value) {
    if (auto ok = check(frame.size(), field.offset, width_of<T>()); !ok) {
        return ok;
    }
    store_be<T>(frame.data() + field.offset, value);
    return {};
}

template <typename Word>
std::expected<Word, PacketError> get(std::span<const std::uint8_t> frame, PackedField<Word> field) {
    auto word = get(frame, Field<Word>{field.offset});
    if (!word) {
        return word;
    }
    return static_cast<Word>((*word & field.mask()) >> field.shift);
}

template <typename Word>
std::expected<void, PacketError> set(std::span<std::uint8_t> frame, PackedField<Word> field,
                                     Word value) {
    auto word = get(std::span<const std::uint8_t>(frame), Field<Word>{field.offset});
    if (!word) {
        return std::unexpected(word.error());
    }
    const Word merged =
        static_cast<Word>((*word & static_cast<Word>(~field.mask())) |
                          ((static_cast<Word>(value << field.shift)) & field.mask()));
    store_be<Word>(frame.data() + field.offset, merged);
    return {};
}

}  // namespace qz::packet
