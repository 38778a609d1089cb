// Report words of the parallel control interface: what the card tells the host, as pure
// builders of (index, value) items plus the senders that put them on the link.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qzel_device/par_ctrl_intf.h"
#include "qzel_device/routing_types.h"
#include "qzel_device/status.h"

namespace qz::device {

using Ipv4 = std::array<std::uint8_t, 4>;
using MacAddress = std::array<std::uint8_t, 6>;

// Rate codes the host may set (44100 to 192000 Hz).
constexpr bool settable_rate_code(std::uint16_t value) {
    return value >= 1 && value <= 6;
}

// --- Clock states -----------------------------------------------------------------------------

std::uint16_t clock_state_field(RateLock input);
std::uint16_t clock_state_word(RateLock first, RateLock second, RateLock third);
inline constexpr std::uint8_t kAvbClockStateCount = 24;
inline constexpr std::uint8_t kDanteClockStateCount = 2;
std::expected<std::uint16_t, std::string> avb_clock_state(const avb::CardStatus& status,
                                                          std::uint8_t sub_register);
std::expected<std::uint16_t, std::string> dante_clock_state(const dante::CardStatus& status,
                                                            std::uint8_t sub_register);

using ClockStateSource = std::function<std::expected<std::uint16_t, std::string>(std::uint8_t)>;
// Sends sub-registers first..last in bursts of at most 12 consecutive indices. A sub-register
// the source refuses is logged and left out.
std::expected<void, Error> send_clock_states(ParCtrlIntf& link, std::uint8_t first,
                                             std::uint8_t last, const ClockStateSource& source);

// --- Clock source codes of the link -----------------------------------------------------------

// A host clock source code (0-72) as the Milan card's entity clock source index (0-23): stream
// input n of either port selects source 7 + n, both clock streams select 23. Codes the Milan
// card cannot select (stream inputs 16-31, 73 and above) give nothing.
std::optional<std::uint8_t> avb_clock_index(std::uint16_t code);
// The link code of a Milan entity clock source index (0-40).
std::optional<std::uint16_t> avb_clock_code(std::uint8_t index);

// --- Reference clock --------------------------------------------------------------------------

std::uint16_t avb_ref_clock_code(std::uint8_t ref_kind, std::uint16_t ref_number);
// `lock_state`: the lock state of the last Dante clocking status, if any arrived.
std::uint16_t dante_ref_clock_code(std::optional<std::uint8_t> lock_state, bool sync_to_external,
                                   std::uint8_t clock_in_effect);

// --- Settings and status words ----------------------------------------------------------------

struct MiscSettings {
    bool wordclock_input_enable{false};
    bool identify{false};
    bool madi_56ch{false};
    bool madi_smux{false};
    bool prefered_leader{false};   // Dante mode
    bool sync_to_external{false};  // Dante mode
    friend bool operator==(const MiscSettings&, const MiscSettings&) = default;
};

std::uint16_t settings_word(const MiscSettings& settings, bool dante);
// Applies the flags whose write-enable bit is set; the Dante-only flags only in Dante mode.
MiscSettings apply_settings(MiscSettings settings, std::uint16_t value, bool dante);

struct StatusInputs {
    bool port0_gbit{false};
    bool port0_up{false};
    bool port1_gbit{false};
    bool port1_up{false};
    bool identify{false};
    std::uint16_t flags{0};  // card status flags (bit 0 input A, bit 8 input B)
};
std::uint16_t status_word(const StatusInputs& inputs);

// --- Static information and interfaces --------------------------------------------------------

struct VersionRecord {
    std::uint8_t major{0};
    std::uint8_t minor{0};
    std::uint8_t patch{0};
};
std::array<ReportItem, 2> static_info_versions(const VersionRecord& version,
                                               std::uint32_t design_id, bool dante);
std::array<ReportItem, 6> static_info_addresses(const MacAddress& first,
                                                const std::optional<MacAddress>& second);
std::array<ReportItem, 4> avb_ip_config(const std::optional<Ipv4>& first,
                                        const std::optional<Ipv4>& second);

struct DanteInterface {
    Ipv4 address{};
    std::uint8_t prefix_length{0};
    std::uint32_t flags{0};
};
std::array<ReportItem, 6> dante_ip_config(std::span<const DanteInterface> interfaces);

// --- Routing ----------------------------------------------------------------------------------

// The routing word of item 1-12 (see apply_routing_set for the layout).
std::optional<std::uint16_t> routing_word(const BlockRoutingBanks& banks, std::uint8_t index);
// Items 1-12, or the one item asked for; nothing for other indices.
std::vector<ReportItem> routing_items(const BlockRoutingBanks& banks, std::uint8_t index);
// A host set of item 1-12; false (nothing changed) for any other index.
bool apply_routing_set(BlockRoutingBanks& banks, std::uint8_t index, std::uint16_t value);

// --- Senders of multi-word reports -------------------------------------------------------------

// Static information as its two bursts: versions, then the two hardware addresses.
std::expected<void, Error> send_static_info(ParCtrlIntf& link, const VersionRecord& version,
                                            std::uint32_t design_id, bool dante,
                                            const MacAddress& first,
                                            const std::optional<MacAddress>& second);
// The routing words of item `index` (0: all twelve) in one burst; nothing for other indices.
std::expected<void, Error> send_routing(ParCtrlIntf& link, const BlockRoutingBanks& banks,
                                        std::uint8_t index);
// The once-a-second sign of life: `MiscStatus` index 2, value 0.
std::expected<void, Error> send_liveness(ParCtrlIntf& link);

// --- Stream formats ---------------------------------------------------------------------------

enum class StreamFormatKind : std::uint8_t { Aaf = 0, Iec61883 = 1, Crf = 2 };
std::uint16_t stream_format_word(std::uint8_t channels, std::uint8_t rate_code,
                                 StreamFormatKind kind);

}  // namespace qz::device
