// The Milan card object: owns the FPGA windows, the peripherals and the LED worker, keeps the
// shadow copies and the routing model, and offers the operations of the device layer.
//
// One owner at a time: the daemon keeps it behind its mutex; nothing here locks.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/card_common.h"
#include "qzel_device/reports.h"
#include "qzel_device/routing.h"
#include "qzel_device/status.h"

namespace qz::device::avb {

inline constexpr std::string_view kCardTarget = "qzel_device::avb";
inline constexpr std::size_t kSlots = 64;
inline constexpr std::uint8_t kMaxClockSourceIndex = 40;

struct InputCounters {
    std::uint32_t frames_rx{0};
    std::uint32_t timestamp_uncertain{0};
    std::uint32_t media_reset{0};
    std::uint32_t seq_num_mismatch{0};
    std::uint32_t stream_interrupted{0};
    std::uint32_t early_timestamp{0};
    std::uint32_t late_timestamp{0};
    std::uint32_t media_locked{0};
    std::uint32_t media_unlocked{0};
    std::uint32_t unsupported_format{0};
    friend bool operator==(const InputCounters&, const InputCounters&) = default;
};

struct OutputCounters {
    std::uint32_t frames_tx{0};
    std::uint32_t media_reset{0};
    std::uint32_t stream_start{0};
    std::uint32_t stream_stop{0};
    friend bool operator==(const OutputCounters&, const OutputCounters&) = default;
};

struct StreamCounters {
    std::array<std::array<InputCounters, kSlots>, 2> inputs{};
    std::array<std::array<OutputCounters, kSlots>, 2> outputs{};
};

// Counter words of a bank, per slot s.
namespace counter_word {
constexpr std::size_t frames_tx(std::size_t s) {
    return s;
}
constexpr std::size_t output_media_reset(std::size_t s) {
    return s | 0x2C0;
}
constexpr std::size_t frames_rx(std::size_t s) {
    return 64 + s;
}
constexpr std::size_t timestamp_uncertain(std::size_t s) {
    return 128 + s;
}
constexpr std::size_t media_reset(std::size_t s) {
    return 192 + s;
}
constexpr std::size_t seq_num_mismatch(std::size_t s) {
    return 256 + s;
}
constexpr std::size_t stream_interrupted(std::size_t s) {
    return 320 + s;
}
constexpr std::size_t early_timestamp(std::size_t s) {
    return 384 + s;
}
constexpr std::size_t late_timestamp(std::size_t s) {
    return 448 + s;
}
constexpr std::size_t media_locked(std::size_t s) {
    return 512 + 2 * s;
}
constexpr std::size_t media_unlocked(std::size_t s) {
    return 513 + 2 * s;
}
constexpr std::size_t unsupported_format(std::size_t s) {
    return 640 + s;
}
constexpr std::size_t kUnused = 230;
}  // namespace counter_word

// The clock source select value for an entity clock source index (0-40).
std::optional<std::uint8_t> clock_select(std::uint8_t index);
// Decodes a lock source or clock select value into (kind, number).
std::pair<std::uint8_t, std::uint16_t> decode_source(std::uint8_t value);

class Card {
public:
    // Runs the start-up order on the given parts.
    static std::expected<std::unique_ptr<Card>, Error> open(CardParts parts);
    // Opens the card's devices at their production paths.
    static std::expected<std::unique_ptr<Card>, Error> open_hardware(const CardPaths& paths,
                                                                     Sleeper& sleeper);

    std::uint32_t design_id() const { return design_id_; }
    std::uint32_t clock_word() const { return clock_word_; }
    std::uint8_t rate_code() const { return rate_code_; }

    // Clock control word.
    std::expected<void, Error> set_sampling_rate(std::uint8_t rate_code);
    std::expected<void, Error> set_clock_source(std::uint8_t index);
    std::expected<void, Error> set_madi(bool madi_56ch, bool madi_smux);
    std::expected<void, Error> set_wordclock_input(bool enabled);

    // Routing.
    void set_audio_mappings(std::vector<AudioMapping> listener, std::vector<AudioMapping> talker);
    std::expected<void, Error> apply_routing(const BlockRoutingBanks& banks);
    const std::optional<BlockRoutingBanks>& routing_banks() const { return banks_; }
    const ChannelRoutingBanks& channel_routing() const { return table_; }

    // Streams.
    std::expected<void, Error> configure_streams(std::size_t channels_per_stream);
    std::expected<void, Error> set_stream_format(std::uint8_t slot, bool input,
                                                 std::uint8_t channels, StreamFormatKind kind);
    std::expected<void, Error> stream_output_start(std::uint8_t port, std::uint8_t slot);
    std::expected<void, Error> stream_output_stop(std::uint8_t port, std::uint8_t slot);
    std::expected<void, Error> set_stream_output_destination(std::uint8_t port,
                                                             const MacAddress& address);
    std::expected<void, Error> set_presentation_offset(std::uint8_t slot, std::uint32_t value);
    std::expected<void, Error> set_stream_input_destination(std::uint8_t port, std::uint8_t slot,
                                                            const MacAddress& address);

    // The link-state word (bit 27 + port: 1 Gb/s or faster, bit 29 + port: link up), written
    // through Control3 only when it changed.
    std::expected<void, Error> set_link_state(std::uint8_t port, bool fast, bool up);
    std::uint32_t link_state_word() const { return link_word_; }

    // Status and counters.
    std::expected<CardStatus, Error> read_status();
    std::uint32_t locked_count() const { return locked_count_; }
    std::uint32_t unlocked_count() const { return unlocked_count_; }
    std::expected<StreamCounters, Error> poll_counters();
    std::uint64_t new_destination(std::uint8_t port) const { return new_destination_[port]; }
    std::uint64_t reset_pending(std::uint8_t port) const { return reset_pending_[port]; }

    void led_set(std::uint8_t mode, const LedColour& colour) { led_->set(mode, colour); }

private:
    Card(CardParts parts, CardLines lines, std::unique_ptr<LedWorker> led, RegisterWindow core);
    std::expected<void, Error> write_clock_word(std::uint32_t word);
    std::expected<void, Error> write_masks();
    std::expected<void, Error> write_routing();
    // Writes zero to counter words with the counter-clear strobe set; the strobe is always
    // taken down again, even after a failed write.
    std::expected<void, Error> clear_counters(std::size_t bank, std::span<const std::size_t> words);
    void update_lock_counters(std::uint32_t fixed_inputs, const CardStatus& status);
    static std::expected<void, Error> check_port_slot(std::uint8_t port, std::uint8_t slot);

    CardParts parts_;
    CardLines lines_;
    std::unique_ptr<LedWorker> led_;
    RegisterWindow core_;
    std::optional<RegisterWindow> counters_;
    std::optional<RegisterWindow> routing_;
    std::uint32_t design_id_{0};
    std::uint32_t clock_word_{kClockStart};
    std::uint8_t rate_code_{2};
    std::array<std::uint32_t, 4> masks_{};
    std::array<std::array<std::uint32_t, kSlots>, 2> start_count_{};
    std::array<std::array<std::uint32_t, kSlots>, 2> stop_count_{};
    std::array<std::array<std::optional<std::uint16_t>, kSlots>, 2> input_suffix_{};
    std::array<std::uint64_t, 2> new_destination_{};
    std::array<std::uint64_t, 2> reset_pending_{};
    std::uint32_t link_word_{0};
    bool link_word_written_{false};
    std::uint32_t locked_count_{0};
    std::uint32_t unlocked_count_{0};
    std::vector<AudioMapping> listener_;
    std::vector<AudioMapping> talker_;
    std::optional<BlockRoutingBanks> banks_;
    ChannelRoutingBanks table_;
};

}  // namespace qz::device::avb
