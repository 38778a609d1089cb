#include "qzel_device/dante/card.h"

#include <utility>

#include "support/log.h"

namespace qz::device::dante {

namespace {

Error io_error(const IoError& error) {
    return Error::io(error);
}
Error invalid(std::string text) {
    return Error{ErrorKind::Io, std::move(text)};
}

}  // namespace

std::uint8_t rate_code_of(std::uint8_t hw) {
    switch (hw) {
        case 1:
            return 1;
        case 2:
            return 2;
        case 17:
            return 3;
        case 18:
            return 4;
        case 33:
            return 5;
        case 34:
            return 6;
        default:
            return 7;
    }
}

std::uint32_t aes3_routing_word(const BlockRoutingBanks& banks, std::uint8_t rate_code) {
    const std::size_t size = bank_size(rate_code);
    std::uint32_t word = 0;
    if (banks.aes3_in_enabled) {
        const std::size_t channel = 2u * banks.aes3_in_pair;
        word |= 1u << 15;
        word |= static_cast<std::uint32_t>(channel % size) & 0x3F;
        word |= (static_cast<std::uint32_t>(channel / size) & 0xF) << 6;
    }
    const std::size_t out = 2u * banks.aes3_out_pair;
    word |= (static_cast<std::uint32_t>(out % size) & 0x3F) << 16;
    word |= (static_cast<std::uint32_t>(out / size) & 0xF) << 22;
    return word;
}

std::expected<std::unique_ptr<Card>, Error> Card::open_hardware(const CardPaths& paths,
                                                                Sleeper& sleeper) {
    auto parts = open_hardware_parts(paths, sleeper, false);
    if (!parts) {
        return std::unexpected(parts.error());
    }
    return open(std::move(*parts));
}

std::expected<std::unique_ptr<Card>, Error> Card::open(CardParts parts) {
    if (!parts.dac_bus || !parts.gpio || !parts.led_spi || !parts.map_window ||
        parts.sleeper == nullptr) {
        return std::unexpected(invalid("incomplete card parts"));
    }
    auto lines = start_lines_and_dac(*parts.gpio, *parts.dac_bus, *parts.sleeper);
    if (!lines) {
        return std::unexpected(lines.error());
    }
    auto led = std::make_unique<LedWorker>(std::move(parts.led_spi));
    std::uint32_t version = 0;
    {
        // Read once; the mapping is released at the end of this block.
        auto window = parts.map_window(kVersionBase, kVersionLength);
        if (!window) {
            return std::unexpected(io_error(window.error()));
        }
        auto value = window->read32(0);
        if (!value) {
            return std::unexpected(io_error(value.error()));
        }
        version = *value;
    }
    auto core = parts.map_window(kCoreBase, kCoreLength);
    if (!core) {
        return std::unexpected(io_error(core.error()));
    }
    auto routing = parts.map_window(kRoutingBase, kRoutingLength);
    if (!routing) {
        return std::unexpected(io_error(routing.error()));
    }
    std::unique_ptr<Card> card(
        new Card(std::move(parts), *lines, std::move(led), std::move(*core), std::move(*routing)));
    card->version_ = version;
    for (auto [offset, value] :
         {std::pair{kControl, kControlStart}, std::pair{kMadiControl, kMadiSmuxOff},
          std::pair{kAes3Routing, std::uint32_t{0}}}) {
        if (auto ok = card->core_.write32(offset, value); !ok) {
            return std::unexpected(io_error(ok.error()));
        }
    }
    return card;
}

Card::Card(CardParts parts, CardLines lines, std::unique_ptr<LedWorker> led, RegisterWindow core,
           RegisterWindow routing)
    : parts_(std::move(parts)),
      lines_(lines),
      led_(std::move(led)),
      core_(std::move(core)),
      routing_(std::move(routing)) {}

std::expected<void, Error> Card::set_sampling_rate(std::uint8_t rate_code) {
    qz::log::debug(kCardTarget, "Setting sampling rate code {}", rate_code);
    if (rate_code == 7) {
        // The host path only passes codes 1-6; refuse instead of ending the process.
        return std::unexpected(invalid("Cannot set NoLock as sampling rate"));
    }
    if (rate_code > 7) {
        return std::unexpected(invalid("Invalid samping rate"));
    }
    const std::uint32_t word = (control_ & ~kRateMask) | (std::uint32_t{rate_code} << kRateShift);
    if (auto ok = core_.write32(kControl, word); !ok) {
        return std::unexpected(io_error(ok.error()));
    }
    control_ = word;
    rate_code_ = rate_code;
    if (banks_) {
        table_ = expand(*banks_, rate_code_);
    }
    return write_routing();
}

std::expected<void, Error> Card::set_clock_source(std::uint8_t code) {
    if (code > 6) {
        return std::unexpected(invalid("Invalid clock source index"));
    }
    const std::uint32_t word = (control_ & ~kClockSourceMask) | code;
    if (auto ok = core_.write32(kControl, word); !ok) {
        return std::unexpected(io_error(ok.error()));
    }
    control_ = word;
    return {};
}

std::expected<void, Error> Card::set_madi(bool madi_56ch, bool madi_smux) {
    const std::uint32_t word = (madi_56ch ? kMadi56 : 0) | (madi_smux ? 0 : kMadiSmuxOff);
    if (auto ok = core_.write32(kMadiControl, word); !ok) {
        return std::unexpected(io_error(ok.error()));
    }
    return {};
}

std::expected<void, Error> Card::set_wordclock_input(bool enabled) {
    return parts_.gpio->set_line(lines_.wordclock_enable, enabled);
}

std::expected<void, Error> Card::apply_routing(const BlockRoutingBanks& banks) {
    banks_ = banks;
    table_ = expand(banks, rate_code_);
    if (auto ok = core_.write32(kAes3Routing, aes3_routing_word(banks, rate_code_)); !ok) {
        return std::unexpected(io_error(ok.error()));
    }
    return write_routing();
}

std::expected<void, Error> Card::apply_channel_routing(const ChannelRoutingBanks& table) {
    banks_.reset();
    table_ = table;
    return write_routing();
}

std::expected<void, Error> Card::write_routing() {
    if (auto ok = dante::write_routing(routing_, table_, rate_code_); !ok) {
        return std::unexpected(io_error(ok.error()));
    }
    return {};
}

std::expected<CardStatus, Error> Card::read_status() {
    std::uint32_t words[4]{};
    const std::size_t offsets[4] = {kControl, kMadiRates, kRates, kLockFlags};
    for (std::size_t i = 0; i < 4; ++i) {
        auto value = core_.read32(offsets[i]);
        if (!value) {
            return std::unexpected(io_error(value.error()));
        }
        words[i] = *value;
    }
    const auto [control, madi, rates, locks] = words;
    CardStatus status;
    status.flags = read_status_flags(*parts_.gpio, lines_);
    // Word Clock, MADI A1, A2, B1, B2, AES/EBU.
    const std::uint8_t hw[6] = {
        static_cast<std::uint8_t>(rates),      static_cast<std::uint8_t>(madi),
        static_cast<std::uint8_t>(madi >> 8),  static_cast<std::uint8_t>(madi >> 16),
        static_cast<std::uint8_t>(madi >> 24), static_cast<std::uint8_t>(rates >> 8)};
    const unsigned lock_bit[6] = {12, 8, 9, 10, 11, 13};
    for (std::size_t i = 0; i < 6; ++i) {
        status.inputs[i] =
            RateLock{rate_code_of(hw[i]), static_cast<std::uint8_t>((locks >> lock_bit[i]) & 1)};
    }
    const std::uint32_t low = control & 0xFF;
    status.clock_in_effect = low < 0x70 ? static_cast<std::uint8_t>(low >> 4) : 255;
    return status;
}

}  // namespace qz::device::dante
