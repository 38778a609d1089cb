#include "strimo/avdecc/aecp/control_values.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <type_traits>

namespace qz::strimo::avdecc::commands {
namespace {

using namespace entity;

template <typename T>
void put(std::vector<std::uint8_t>& out, T value) {
    if constexpr (std::is_same_v<T, float>) {
        put(out, std::bit_cast<std::uint32_t>(value));
    } else if constexpr (std::is_same_v<T, double>) {
        put(out, std::bit_cast<std::uint64_t>(value));
    } else {
        const auto v = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
        for (std::size_t i = sizeof(T); i-- > 0;) {
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
}

// Reads big-endian values from a byte span; every read is checked against what is left.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    template <typename T>
    std::expected<T, std::string> take() {
        constexpr std::size_t width = sizeof(T);
        if (bytes_.size() - pos_ < width) {
            return std::unexpected(fmt::format("{} bytes of values, more needed", bytes_.size()));
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            v = (v << 8) | bytes_[pos_ + i];
        }
        pos_ += width;
        if constexpr (std::is_same_v<T, float>) {
            return std::bit_cast<float>(static_cast<std::uint32_t>(v));
        } else if constexpr (std::is_same_v<T, double>) {
            return std::bit_cast<double>(v);
        } else {
            return static_cast<T>(static_cast<std::make_unsigned_t<T>>(v));
        }
    }
    std::size_t left() const { return bytes_.size() - pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_{0};
};

template <typename T>
bool within(T value, T minimum, T maximum) {
    return !(value < minimum) && !(maximum < value);
}

}  // namespace

std::vector<std::uint8_t> encode_current_values(const ControlValues& values) {
    std::vector<std::uint8_t> out;
    std::visit(
        [&](const auto& alt) {
            using A = std::decay_t<decltype(alt)>;
            if constexpr (std::is_same_v<A, SmpteTime>) {
                for (auto v : alt.values) {
                    put(out, v);
                }
            } else if constexpr (std::is_same_v<A, Vendor>) {
                put(out, alt.vendor_id);
                put(out, static_cast<std::uint16_t>(alt.blob.size()));
                out.insert(out.end(), alt.blob.begin(), alt.blob.end());
            } else if constexpr (requires { alt.values; }) {
                for (const auto& v : alt.values) {
                    put(out, v.current);
                }
            } else if constexpr (requires { alt.value.options; }) {
                put(out, alt.value.current);
            } else {
                for (auto v : alt.value.current) {
                    put(out, v);
                }
            }
        },
        values);
    return out;
}

std::expected<ControlValues, std::string> decode_current_values(
    const ControlValues& values, std::span<const std::uint8_t> bytes) {
    Reader reader(bytes);
    ControlValues updated = values;
    std::expected<void, std::string> done = std::visit(
        [&](auto& alt) -> std::expected<void, std::string> {
            using A = std::decay_t<decltype(alt)>;
            if constexpr (std::is_same_v<A, SmpteTime>) {
                for (auto& v : alt.values) {
                    auto read = reader.template take<std::uint64_t>();
                    if (!read) {
                        return std::unexpected(read.error());
                    }
                    v = *read;
                }
            } else if constexpr (std::is_same_v<A, Vendor>) {
                auto id = reader.template take<std::uint64_t>();
                auto size = reader.template take<std::uint16_t>();
                if (!id || !size) {
                    return std::unexpected(id ? size.error() : id.error());
                }
                if (*id != alt.vendor_id) {
                    return std::unexpected(
                        fmt::format("vendor id {:#x} is not the control's", *id));
                }
                if (reader.left() != *size) {
                    return std::unexpected(
                        fmt::format("blob of {} bytes declared, {} present", *size, reader.left()));
                }
                const auto offset = bytes.size() - reader.left();
                alt.blob.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end());
                return {};
            } else if constexpr (requires { alt.values; }) {
                for (auto& v : alt.values) {
                    using T = decltype(v.current);
                    auto read = reader.template take<T>();
                    if (!read) {
                        return std::unexpected(read.error());
                    }
                    if (!within(*read, v.minimum, v.maximum)) {
                        return std::unexpected(
                            fmt::format("value {} outside {}..{}", *read, v.minimum, v.maximum));
                    }
                    v.current = *read;
                }
            } else if constexpr (requires { alt.value.options; }) {
                using T = decltype(alt.value.current);
                auto read = reader.template take<T>();
                if (!read) {
                    return std::unexpected(read.error());
                }
                if (std::find(alt.value.options.begin(), alt.value.options.end(), *read) ==
                    alt.value.options.end()) {
                    return std::unexpected(fmt::format("value {} is not an option", *read));
                }
                alt.value.current = *read;
            } else {
                for (auto& v : alt.value.current) {
                    using T = std::decay_t<decltype(v)>;
                    auto read = reader.template take<T>();
                    if (!read) {
                        return std::unexpected(read.error());
                    }
                    if (!within(*read, alt.value.minimum, alt.value.maximum)) {
                        return std::unexpected(fmt::format("value {} outside {}..{}", *read,
                                                           alt.value.minimum, alt.value.maximum));
                    }
                    v = *read;
                }
            }
            if (reader.left() != 0) {
                return std::unexpected(fmt::format("{} bytes after the values", reader.left()));
            }
            return {};
        },
        updated);
    if (!done) {
        return std::unexpected(done.error());
    }
    return updated;
}

}  // namespace qz::strimo::avdecc::commands
