// The Dante card object: the Dante FPGA design's control words, routing memory and status, the
// peripherals it shares with the Milan card, and the LED worker.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "qzel_device/card_common.h"
#include "qzel_device/dante/regs.h"
#include "qzel_device/reports.h"
#include "qzel_device/routing.h"
#include "qzel_device/status.h"

namespace qz::device::dante {

inline constexpr std::string_view kCardTarget = "qzel_device::dante";

// Hardware rate byte of the Dante design to rate code (7 for anything unknown).
std::uint8_t rate_code_of(std::uint8_t hardware_rate);
// The AES3 routing word for the bank routing's AES3 settings at a rate.
std::uint32_t aes3_routing_word(const BlockRoutingBanks& banks, std::uint8_t rate_code);

class Card {
public:
    static std::expected<std::unique_ptr<Card>, Error> open(CardParts parts);
    static std::expected<std::unique_ptr<Card>, Error> open_hardware(const CardPaths& paths,
                                                                     Sleeper& sleeper);

    // The FPGA design identification read once at start.
    std::uint32_t version() const { return version_; }
    std::uint8_t rate_code() const { return rate_code_; }
    std::uint32_t control_word() const { return control_; }

    // Codes 0-6; the no-lock code 7 is refused.
    std::expected<void, Error> set_sampling_rate(std::uint8_t rate_code);
    std::expected<void, Error> set_clock_source(std::uint8_t code);
    std::expected<void, Error> set_madi(bool madi_56ch, bool madi_smux);
    std::expected<void, Error> set_wordclock_input(bool enabled);
    std::expected<void, Error> apply_routing(const BlockRoutingBanks& banks);
    // Channel routing mode: the table as the host set it.
    std::expected<void, Error> apply_channel_routing(const ChannelRoutingBanks& table);
    std::expected<CardStatus, Error> read_status();
    void led_set(std::uint8_t mode, const LedColour& colour) { led_->set(mode, colour); }

private:
    Card(CardParts parts, CardLines lines, std::unique_ptr<LedWorker> led, RegisterWindow core,
         RegisterWindow routing);
    std::expected<void, Error> write_routing();

    CardParts parts_;
    CardLines lines_;
    std::unique_ptr<LedWorker> led_;
    RegisterWindow core_;
    RegisterWindow routing_;
    std::uint32_t version_{0};
    std::uint32_t control_{kControlStart};
    std::uint8_t rate_code_{2};
    std::optional<BlockRoutingBanks> banks_;
    ChannelRoutingBanks table_;
};

}  // namespace qz::device::dante
