#include "qzel_device/reports.h"

#include <algorithm>

#include "support/log.h"

namespace qz::device {

std::uint16_t clock_state_field(RateLock input) {
    const std::uint16_t rate = input.rate > 6 ? 15 : input.rate;
    return static_cast<std::uint16_t>(rate | (input.locked != 0 ? 0x10 : 0));
}

std::uint16_t clock_state_word(RateLock first, RateLock second, RateLock third) {
    return static_cast<std::uint16_t>(clock_state_field(first) | (clock_state_field(second) << 5) |
                                      (clock_state_field(third) << 10));
}

std::expected<std::uint16_t, std::string> avb_clock_state(const avb::CardStatus& status,
                                                          std::uint8_t sub) {
    const auto& in = status.inputs;
    if (sub == 1) {
        return clock_state_word(in[0], in[1], in[2]);
    }
    if (sub == 2) {
        return clock_state_word(in[3], in[4], in[5]);
    }
    for (std::size_t port = 0; port < 2; ++port) {
        const std::uint8_t first = port == 0 ? 3 : 14;
        const auto& slots = status.streams[port];
        if (sub >= first && sub < first + 10) {
            const std::size_t slot = 3 * static_cast<std::size_t>(sub - first);
            return clock_state_word(slots[slot], slots[slot + 1], slots[slot + 2]);
        }
        if (sub == first + 10) {
            return clock_state_word(slots[30], slots[31], slots[63]);
        }
    }
    return std::unexpected(std::string("Invalid sub-register index for AVB Clock State"));
}

std::expected<std::uint16_t, std::string> dante_clock_state(const dante::CardStatus& status,
                                                            std::uint8_t sub) {
    const auto& in = status.inputs;
    if (sub == 1) {
        return clock_state_word(in[0], in[1], in[2]);
    }
    if (sub == 2) {
        return clock_state_word(in[3], in[4], in[5]);
    }
    return std::unexpected(std::string("Invalid sub-register index for Dante Clock State"));
}

std::expected<void, Error> send_clock_states(ParCtrlIntf& link, std::uint8_t first,
                                             std::uint8_t last, const ClockStateSource& source) {
    std::vector<ReportItem> burst;
    auto flush = [&]() -> std::expected<void, Error> {
        if (burst.empty()) {
            return {};
        }
        auto sent = link.send_words(MessageType::ClockStates, burst);
        burst.clear();
        return sent;
    };
    for (unsigned sub = first; sub <= last; ++sub) {
        auto word = source(static_cast<std::uint8_t>(sub));
        if (!word) {
            qz::log::error(kLinkTarget, "{}", word.error());
            continue;
        }
        burst.push_back(ReportItem{static_cast<std::uint8_t>(sub), *word});
        if (burst.size() == 12) {
            if (auto ok = flush(); !ok) {
                return ok;
            }
        }
    }
    return flush();
}

std::optional<std::uint8_t> avb_clock_index(std::uint16_t code) {
    if (code <= 22) {
        return static_cast<std::uint8_t>(code);
    }
    if (code >= 40 && code <= 55) {
        return static_cast<std::uint8_t>(code - 33);
    }
    if (code == 39 || code == 72) {
        return 23;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> avb_clock_code(std::uint8_t index) {
    if (index <= 22) {
        return index;
    }
    if (index == 23) {
        return 39;
    }
    if (index <= 39) {
        return static_cast<std::uint16_t>(40 + index - 24);
    }
    if (index == 40) {
        return 72;
    }
    return std::nullopt;
}

std::uint16_t avb_ref_clock_code(std::uint8_t kind, std::uint16_t number) {
    if (kind == 0 || kind == 1) {
        const std::uint16_t base = kind == 0 ? 7 : 40;
        if (number <= 31) {
            return static_cast<std::uint16_t>(base + number);
        }
        if (number == 63) {
            return kind == 0 ? 39 : 72;
        }
        return 0xFFFF;
    }
    if (kind >= 128 && kind <= 133) {
        return static_cast<std::uint16_t>(kind - 127);
    }
    if (kind == avb::kRefInvalid) {
        return 0xFFFF;
    }
    return 0;
}

std::uint16_t dante_ref_clock_code(std::optional<std::uint8_t> lock_state, bool sync_to_external,
                                   std::uint8_t clock_in_effect) {
    if (!lock_state || *lock_state == 3) {
        return 254;
    }
    if (!sync_to_external) {
        return 253;
    }
    return clock_in_effect;
}

namespace {
constexpr std::uint16_t bit(bool on, unsigned n) {
    return on ? static_cast<std::uint16_t>(1u << n) : 0;
}
}  // namespace

std::uint16_t settings_word(const MiscSettings& s, bool dante) {
    std::uint16_t word =
        bit(s.wordclock_input_enable, 0) | bit(s.madi_56ch, 2) | bit(s.madi_smux, 3) | 0x0D00;
    if (dante) {
        word |= bit(s.prefered_leader, 6) | bit(s.sync_to_external, 7) | 0xC000;
    }
    return word;
}

MiscSettings apply_settings(MiscSettings s, std::uint16_t value, bool dante) {
    auto take = [&](bool& flag, unsigned n) {
        if ((value & (1u << (n + 8))) != 0) {
            flag = (value & (1u << n)) != 0;
        }
    };
    take(s.wordclock_input_enable, 0);
    take(s.identify, 1);
    take(s.madi_56ch, 2);
    take(s.madi_smux, 3);
    if (dante) {
        take(s.prefered_leader, 6);
        take(s.sync_to_external, 7);
    }
    return s;
}

std::uint16_t status_word(const StatusInputs& in) {
    return bit(in.port0_gbit, 0) | bit(in.port0_up, 1) | bit(in.port1_gbit, 2) |
           bit(in.port1_up, 3) | bit(in.identify, 4) | bit((in.flags & kStatusInputA) != 0, 6) |
           bit((in.flags & kStatusInputB) != 0, 7);
}

std::array<ReportItem, 2> static_info_versions(const VersionRecord& v, std::uint32_t design_id,
                                               bool dante) {
    auto first = static_cast<std::uint16_t>((v.major << 8) | v.minor);
    if (dante) {
        first |= 0x8000;
    }
    return {ReportItem{1, first},
            ReportItem{2, static_cast<std::uint16_t>((v.patch << 8) | (design_id & 0xFF))}};
}

std::array<ReportItem, 6> static_info_addresses(const MacAddress& first,
                                                const std::optional<MacAddress>& second) {
    const MacAddress other = second.value_or(MacAddress{});
    std::array<ReportItem, 6> items{};
    for (std::size_t i = 0; i < 3; ++i) {
        items[i] = ReportItem{static_cast<std::uint8_t>(3 + i),
                              static_cast<std::uint16_t>((first[2 * i] << 8) | first[2 * i + 1])};
        items[3 + i] =
            ReportItem{static_cast<std::uint8_t>(6 + i),
                       static_cast<std::uint16_t>((other[2 * i] << 8) | other[2 * i + 1])};
    }
    return items;
}

namespace {
std::pair<std::uint16_t, std::uint16_t> halves(const std::optional<Ipv4>& address) {
    if (!address) {
        return {0xFFFF, 0xFFFF};
    }
    const Ipv4& a = *address;
    return {static_cast<std::uint16_t>((a[0] << 8) | a[1]),
            static_cast<std::uint16_t>((a[2] << 8) | a[3])};
}
}  // namespace

std::array<ReportItem, 4> avb_ip_config(const std::optional<Ipv4>& first,
                                        const std::optional<Ipv4>& second) {
    const auto [a1, a2] = halves(first);
    const auto [b1, b2] = halves(second);
    return {ReportItem{1, a1}, ReportItem{2, a2}, ReportItem{3, b1}, ReportItem{4, b2}};
}

std::array<ReportItem, 6> dante_ip_config(std::span<const DanteInterface> interfaces) {
    auto address = [&](std::size_t i) -> std::optional<Ipv4> {
        if (i < interfaces.size()) {
            return interfaces[i].address;
        }
        return std::nullopt;
    };
    auto prefix = [&](std::size_t i) -> std::uint16_t {
        return i < interfaces.size() ? interfaces[i].prefix_length : 0;
    };
    auto flag = [&](std::size_t i) -> bool {
        return i < interfaces.size() && (interfaces[i].flags & 0x2) != 0;
    };
    const auto [a1, a2] = halves(address(0));
    const auto [b1, b2] = halves(address(1));
    const auto masks = static_cast<std::uint16_t>((prefix(0) << 8) | prefix(1));
    const std::uint16_t flags = bit(flag(0), 0) | bit(flag(1), 1) | bit(interfaces.size() < 2, 2);
    return {ReportItem{1, a1}, ReportItem{2, a2},    ReportItem{3, b1},
            ReportItem{4, b2}, ReportItem{5, masks}, ReportItem{6, flags}};
}

std::optional<std::uint16_t> routing_word(const BlockRoutingBanks& banks, std::uint8_t index) {
    auto pair = [](std::uint8_t even, std::uint8_t odd) {
        return static_cast<std::uint16_t>((even << 8) | odd);
    };
    if (index >= 1 && index <= 4) {
        const std::size_t i = index - 1u;
        return pair(banks.pci[2 * i], banks.pci[2 * i + 1]);
    }
    if (index >= 5 && index <= 8) {
        const std::size_t i = index - 5u;
        return pair(banks.net[2 * i], banks.net[2 * i + 1]);
    }
    if (index == 9 || index == 10) {
        const std::size_t i = index - 9u;
        return pair(banks.madi[2 * i], banks.madi[2 * i + 1]);
    }
    if (index == 11) {
        return banks.aes3_in_enabled ? std::uint16_t{banks.aes3_in_pair} : std::uint16_t{0xFF00};
    }
    if (index == 12) {
        return std::uint16_t{banks.aes3_out_pair};
    }
    return std::nullopt;
}

std::vector<ReportItem> routing_items(const BlockRoutingBanks& banks, std::uint8_t index) {
    std::vector<ReportItem> items;
    const std::uint8_t first = index == 0 ? 1 : index;
    const std::uint8_t last = index == 0 ? 12 : index;
    for (unsigned i = first; i <= last; ++i) {
        if (auto word = routing_word(banks, static_cast<std::uint8_t>(i))) {
            items.push_back(ReportItem{static_cast<std::uint8_t>(i), *word});
        }
    }
    return items;
}

bool apply_routing_set(BlockRoutingBanks& banks, std::uint8_t index, std::uint16_t value) {
    auto code = [](unsigned byte) {
        return byte >= static_cast<unsigned>(RoutingBank::Unrouted)
                   ? kUnroutedCode
                   : static_cast<std::uint8_t>(byte);
    };
    const std::uint8_t even = code(value >> 8);
    const std::uint8_t odd = code(value & 0xFF);
    auto set_pair = [&](auto& table, std::size_t i) {
        table[2 * i] = even;
        table[2 * i + 1] = odd;
    };
    if (index >= 1 && index <= 4) {
        set_pair(banks.pci, index - 1u);
    } else if (index >= 5 && index <= 8) {
        set_pair(banks.net, index - 5u);
    } else if (index == 9 || index == 10) {
        set_pair(banks.madi, index - 9u);
    } else if (index == 11) {
        banks.aes3_in_enabled = (value >> 8) != 0xFF;
        if (banks.aes3_in_enabled) {
            banks.aes3_in_pair = static_cast<std::uint8_t>(value & 0xFF);
        }
    } else if (index == 12) {
        banks.aes3_out_pair = static_cast<std::uint8_t>(value & 0xFF);
    } else {
        return false;
    }
    return true;
}

std::expected<void, Error> send_static_info(ParCtrlIntf& link, const VersionRecord& version,
                                            std::uint32_t design_id, bool dante,
                                            const MacAddress& first,
                                            const std::optional<MacAddress>& second) {
    const auto versions = static_info_versions(version, design_id, dante);
    if (auto ok = link.send_words(MessageType::StaticInfo, versions); !ok) {
        return ok;
    }
    const auto addresses = static_info_addresses(first, second);
    return link.send_words(MessageType::StaticInfo, addresses);
}

std::expected<void, Error> send_routing(ParCtrlIntf& link, const BlockRoutingBanks& banks,
                                        std::uint8_t index) {
    const auto items = routing_items(banks, index);
    if (items.empty()) {
        return {};
    }
    return link.send_words(MessageType::BlockRouting, items);
}

std::expected<void, Error> send_liveness(ParCtrlIntf& link) {
    return link.send_word(MessageType::MiscStatus, 2, 0);
}

std::uint16_t stream_format_word(std::uint8_t channels, std::uint8_t rate_code,
                                 StreamFormatKind kind) {
    return static_cast<std::uint16_t>(channels | ((rate_code & 0x7u) << 8) |
                                      (static_cast<unsigned>(kind) << 12));
}

}  // namespace qz::device
