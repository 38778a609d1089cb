#include "qzel_device/routing.h"

#include <algorithm>
#include <array>
#include <vector>

#include "support/fatal.h"

namespace qz::device {

std::size_t bank_size(std::uint8_t rate_code) {
    if (rate_code <= 2) {
        return 64;
    }
    if (rate_code <= 4) {
        return 32;
    }
    if (rate_code <= 6) {
        return 16;
    }
    qz::fatal("Invalid samping rate");
}

RoutingSource expand_channel(Design design, std::uint8_t code, std::size_t j, std::size_t size,
                             std::span<const AudioMapping> listener) {
    if (code <= 7) {
        return RoutingSource::pci(static_cast<std::uint16_t>(code * size + j));
    }
    if (code <= 15) {
        const std::size_t c = (code - 8u) * size + j;
        if (design == Design::Dante) {
            return RoutingSource::dante(static_cast<std::uint16_t>(c));
        }
        for (const AudioMapping& m : listener) {
            if (m.cluster_channel == c) {
                // Mappings come from controllers on the network: one that names a stream or
                // channel the hardware does not have routes nothing rather than ending the
                // process.
                if (m.stream_index < avb::kStreams && m.stream_channel < avb::kSlotChannels) {
                    return RoutingSource::stream(m.stream_index, m.stream_channel);
                }
                return RoutingSource::none();
            }
        }
        return RoutingSource::none();
    }
    if (code <= 19) {
        return RoutingSource::madi(static_cast<std::uint16_t>(code - 16u),
                                   static_cast<std::uint16_t>(j));
    }
    return RoutingSource::none();
}

namespace {

void expand_common(Design design, const BlockRoutingBanks& banks, std::size_t size,
                   std::span<const AudioMapping> listener, ChannelRoutingBanks& table) {
    for (std::size_t bank = 0; bank < banks.pci.size(); ++bank) {
        for (std::size_t j = 0; j < size; ++j) {
            table.pci[bank * size + j] = expand_channel(design, banks.pci[bank], j, size, listener);
        }
    }
    for (std::size_t port = 0; port < banks.madi.size(); ++port) {
        for (std::size_t j = 0; j < std::min<std::size_t>(size, 64); ++j) {
            table.madi[port][j] = expand_channel(design, banks.madi[port], j, size, listener);
        }
    }
}

}  // namespace

namespace avb {

std::size_t channels_per_stream(std::uint8_t rate_code) {
    switch (rate_code) {
        case 1:
        case 2:
            return 32;
        case 3:
        case 4:
            return 16;
        case 5:
        case 6:
            return 8;
        default:
            qz::fatal("Invalid sampling rate");
    }
}

ChannelRoutingBanks default_routing() {
    ChannelRoutingBanks table;
    for (std::uint16_t n = 0; n < 512; ++n) {
        table.pci[n] = RoutingSource::stream(n / 32, n % 32);
        table.net[n] = RoutingSource::pci(n);  // stream s, channel c: host channel s * 32 + c
    }
    for (std::uint16_t p = 0; p < 4; ++p) {
        for (std::uint16_t c = 0; c < 64; ++c) {
            table.madi[p][c] = RoutingSource::pci(static_cast<std::uint16_t>(p * 64 + c));
        }
    }
    return table;
}

ChannelRoutingBanks expand(const BlockRoutingBanks& banks, std::uint8_t rate_code,
                           std::span<const AudioMapping> listener,
                           std::span<const AudioMapping> talker) {
    (void)channels_per_stream(rate_code);  // refuses the rates Milan mode does not run at
    const std::size_t size = bank_size(rate_code);
    ChannelRoutingBanks table;
    expand_common(Design::Milan, banks, size, listener, table);
    if (banks.aes3_in_enabled) {
        const std::size_t p = banks.aes3_in_pair;
        table.pci[2 * p] = RoutingSource::aes3(0);
        table.pci[2 * p + 1] = RoutingSource::aes3(1);
    }
    const auto out = static_cast<std::uint16_t>(2 * banks.aes3_out_pair);
    table.aes3[0] = RoutingSource::pci(out);
    table.aes3[1] = RoutingSource::pci(static_cast<std::uint16_t>(out + 1));
    for (const AudioMapping& m : talker) {
        const std::size_t bank = m.cluster_channel / size;
        if (bank >= 8 || m.stream_index >= kStreams || m.stream_channel >= kSlotChannels) {
            continue;  // a mapping outside the hardware's channels carries nothing
        }
        const std::size_t j = m.cluster_channel - bank * size;
        table.net[m.stream_index * kSlotChannels + m.stream_channel] =
            expand_channel(Design::Milan, banks.net[bank], j, size, listener);
    }
    return table;
}

std::uint16_t encode(const RoutingSource& s, std::size_t size, std::size_t per_stream) {
    switch (s.kind) {
        case SourceKind::Pci:
            if (s.a >= 512) {
                qz::fatal("ch < 512");
            }
            return s.a;
        case SourceKind::Net:
            if (s.a >= kStreams || s.b >= kSlotChannels) {
                qz::fatal("stream < 16 && ch < 32");
            }
            return static_cast<std::uint16_t>(512 + s.a * per_stream + s.b);
        case SourceKind::Madi:
            if (s.a >= 4 || s.b >= 64) {
                qz::fatal("port < 4 && ch < 64");
            }
            return static_cast<std::uint16_t>(1024 + s.a * size + s.b);
        case SourceKind::Aes3:
            return static_cast<std::uint16_t>(1280 + (s.a & 1u));
        case SourceKind::None:
            break;
    }
    return 0xFFFF;
}

std::expected<void, IoError> write_routing(RegisterWindow& routing,
                                           const ChannelRoutingBanks& table,
                                           std::uint8_t rate_code) {
    const std::size_t size = bank_size(rate_code);
    const std::size_t per_stream = channels_per_stream(rate_code);
    std::array<std::uint32_t, 512> words{};
    auto code = [&](const RoutingSource& s) { return std::uint32_t{encode(s, size, per_stream)}; };

    for (std::size_t port = 0; port < 4; ++port) {
        for (std::size_t c = 0; c < size; ++c) {
            words[c] = code(table.madi[port][c]);
        }
        if (auto ok = routing.write_block(port * size * 4, std::span(words.data(), size)); !ok) {
            return ok;
        }
    }
    if (auto ok = routing.write32(0x400, code(table.aes3[0])); !ok) {
        return ok;
    }
    if (auto ok = routing.write32(0x404, code(table.aes3[1])); !ok) {
        return ok;
    }
    for (std::size_t n = 0; n < 512; ++n) {
        words[n] = code(table.pci[n]);
    }
    if (auto ok = routing.write_block(0x800, words); !ok) {
        return ok;
    }
    for (std::size_t stream = 0; stream < kStreams; ++stream) {
        for (std::size_t c = 0; c < per_stream; ++c) {
            words[c] = code(table.net[stream * kSlotChannels + c]);
        }
        if (auto ok = routing.write_block(0x1000 + stream * per_stream * 4,
                                          std::span(words.data(), per_stream));
            !ok) {
            return ok;
        }
    }
    return {};
}

}  // namespace avb

namespace dante {

ChannelRoutingBanks expand(const BlockRoutingBanks& banks, std::uint8_t rate_code) {
    const std::size_t size = bank_size(rate_code);
    ChannelRoutingBanks table;
    expand_common(Design::Dante, banks, size, {}, table);
    for (std::size_t bank = 0; bank < banks.net.size(); ++bank) {
        for (std::size_t j = 0; j < size; ++j) {
            table.net[bank * size + j] =
                expand_channel(Design::Dante, banks.net[bank], j, size, {});
        }
    }
    return table;
}

std::uint16_t encode(const RoutingSource& s, std::size_t size) {
    switch (s.kind) {
        case SourceKind::Pci:
            if (s.a >= 512) {
                qz::fatal("ch < 512");
            }
            return static_cast<std::uint16_t>((s.a / size) * 64 + s.a % size);
        case SourceKind::Net:
            if (s.a >= 512) {
                qz::fatal("ch < 512");
            }
            return static_cast<std::uint16_t>(512 + (s.a / size) * 64 + s.a % size);
        case SourceKind::Madi:
            if (s.a >= 4 || s.b >= 64) {
                qz::fatal("port < 4 && ch < 64");
            }
            return static_cast<std::uint16_t>(1024 + s.a * 64 + s.b);
        case SourceKind::Aes3:
        case SourceKind::None:
            break;
    }
    return 0xFFFF;
}

std::expected<void, IoError> write_routing(RegisterWindow& routing,
                                           const ChannelRoutingBanks& table,
                                           std::uint8_t rate_code) {
    const std::size_t size = bank_size(rate_code);
    std::array<std::uint16_t, 64> block{};
    for (std::size_t port = 0; port < 4; ++port) {
        for (std::size_t c = 0; c < 64; ++c) {
            block[c] = encode(table.madi[port][c], size);
        }
        if (auto ok = routing.write_block16(0xC00 + port * 0x80, block); !ok) {
            return ok;
        }
    }
    auto write_banks = [&](const std::array<RoutingSource, 512>& channels,
                           std::size_t base) -> std::expected<void, IoError> {
        for (std::size_t bank = 0; bank < 8; ++bank) {
            block.fill(0xFFFF);
            for (std::size_t i = 0; i < size; ++i) {
                block[i] = encode(channels[bank * size + i], size);
            }
            if (auto ok = routing.write_block16(base + bank * 0x80, block); !ok) {
                return ok;
            }
        }
        return {};
    };
    if (auto ok = write_banks(table.pci, 0); !ok) {
        return ok;
    }
    return write_banks(table.net, 0x800);
}

}  // namespace dante
}  // namespace qz::device
