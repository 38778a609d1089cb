#include "qzel_device/avb/card.h"

#include <utility>

#include "qzel_device/avb/regs.h"
#include "qzel_device/clock_chips.h"
#include "support/log.h"

namespace qz::device::avb {

namespace {

template <typename T>
std::expected<T, Error> io(std::expected<T, IoError> result) {
    if (!result) {
        return std::unexpected(Error::io(result.error()));
    }
    return std::move(*result);
}

std::expected<void, Error> io(std::expected<void, IoError> result) {
    if (!result) {
        return std::unexpected(Error::io(result.error()));
    }
    return {};
}

Error invalid(std::string text) {
    return Error{ErrorKind::Io, std::move(text)};
}

constexpr MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

std::optional<std::uint8_t> clock_select(std::uint8_t index) {
    if (index == 0) {
        return 255;
    }
    if (index <= 6) {
        return static_cast<std::uint8_t>(127 + index);
    }
    if (index <= 22) {
        return static_cast<std::uint8_t>(index - 7);
    }
    if (index == 23) {
        return 63;
    }
    if (index <= 39) {
        return static_cast<std::uint8_t>(0x40 + index - 24);
    }
    if (index == 40) {
        return 127;
    }
    return std::nullopt;
}

std::pair<std::uint8_t, std::uint16_t> decode_source(std::uint8_t v) {
    if (v <= 63) {
        return {0, v};
    }
    if (v <= 127) {
        return {1, static_cast<std::uint16_t>(v - 64)};
    }
    if ((v >= 128 && v <= 133) || v == 255) {
        return {v, 0};
    }
    return {kRefInvalid, 0};
}

std::expected<std::unique_ptr<Card>, Error> Card::open_hardware(const CardPaths& paths,
                                                                Sleeper& sleeper) {
    auto parts = open_hardware_parts(paths, sleeper, true);
    if (!parts) {
        return std::unexpected(parts.error());
    }
    return open(std::move(*parts));
}

std::expected<std::unique_ptr<Card>, Error> Card::open(CardParts parts) {
    if (!parts.pll_bus || !parts.dac_bus || !parts.gpio || !parts.led_spi || !parts.map_window ||
        parts.sleeper == nullptr) {
        return std::unexpected(invalid("incomplete card parts"));
    }
    if (auto ok = program_pll(*parts.pll_bus); !ok) {
        return std::unexpected(ok.error());
    }
    auto lines = start_lines_and_dac(*parts.gpio, *parts.dac_bus, *parts.sleeper);
    if (!lines) {
        return std::unexpected(lines.error());
    }
    // The LED shows its default colour from here on, even if mapping the FPGA fails.
    auto led = std::make_unique<LedWorker>(std::move(parts.led_spi));
    auto core = io(parts.map_window(kCoreBase, kCoreLength));
    if (!core) {
        return std::unexpected(core.error());
    }
    std::unique_ptr<Card> card(
        new Card(std::move(parts), *lines, std::move(led), std::move(*core)));

    auto design = io(card->core_.read32(kDesignId));
    if (!design) {
        return std::unexpected(design.error());
    }
    card->design_id_ = *design;
    if (auto ok = card->write_clock_word(kClockStart); !ok) {
        return std::unexpected(ok.error());
    }
    if (auto ok = io(card->core_.write_control3(kControl3Reset)); !ok) {
        return std::unexpected(ok.error());
    }
    if (auto ok = card->write_masks(); !ok) {
        return std::unexpected(ok.error());
    }
    if (auto ok = card->configure_streams(kSlotChannels); !ok) {
        return std::unexpected(ok.error());
    }
    auto counters = io(card->parts_.map_window(kCounterBase, kCounterLength));
    if (!counters) {
        return std::unexpected(counters.error());
    }
    card->counters_.emplace(std::move(*counters));
    auto routing = io(card->parts_.map_window(kRoutingBase, kRoutingLength));
    if (!routing) {
        return std::unexpected(routing.error());
    }
    card->routing_.emplace(std::move(*routing));
    card->table_ = default_routing();
    if (auto ok = card->write_routing(); !ok) {
        return std::unexpected(ok.error());
    }
    return card;
}

Card::Card(CardParts parts, CardLines lines, std::unique_ptr<LedWorker> led, RegisterWindow core)
    : parts_(std::move(parts)), lines_(lines), led_(std::move(led)), core_(std::move(core)) {}

std::expected<void, Error> Card::write_clock_word(std::uint32_t word) {
    clock_word_ = word;
    return io(core_.write32(kClockControl, word));
}

std::expected<void, Error> Card::write_masks() {
    for (std::size_t i = 0; i < masks_.size(); ++i) {
        if (auto ok = io(core_.write32(kEnableMasks[i], masks_[i])); !ok) {
            return ok;
        }
    }
    return {};
}

std::expected<void, Error> Card::write_routing() {
    return io(avb::write_routing(*routing_, table_, rate_code_));
}

std::expected<void, Error> Card::set_sampling_rate(std::uint8_t rate_code) {
    if (rate_code < 1 || rate_code > 6) {
        return std::unexpected(invalid("Invalid sampling rate"));
    }
    const std::size_t per_stream = channels_per_stream(rate_code);
    if (auto ok = write_clock_word((clock_word_ & ~kRateMask) | rate_code); !ok) {
        return ok;
    }
    rate_code_ = rate_code;
    if (auto ok = configure_streams(per_stream); !ok) {
        return ok;
    }
    if (banks_) {
        table_ = expand(*banks_, rate_code_, listener_, talker_);
    }
    return write_routing();
}

std::expected<void, Error> Card::set_link_state(std::uint8_t port, bool fast, bool up) {
    if (port > 1) {
        return std::unexpected(invalid("Invalid port"));
    }
    std::uint32_t word = link_word_ & ~((1u << (27 + port)) | (1u << (29 + port)));
    word |= fast ? 1u << (27 + port) : 0;
    word |= up ? 1u << (29 + port) : 0;
    if (link_word_written_ && word == link_word_) {
        return {};
    }
    if (auto ok = io(core_.write_control3(word)); !ok) {
        return ok;
    }
    link_word_ = word;
    link_word_written_ = true;
    return {};
}

std::expected<void, Error> Card::set_clock_source(std::uint8_t index) {
    const auto select = clock_select(index);
    if (!select) {
        return std::unexpected(invalid("Invalid clock source index"));
    }
    return write_clock_word((clock_word_ & ~kClockSelectMask) |
                            (std::uint32_t{*select} << kClockSelectShift));
}

std::expected<void, Error> Card::set_madi(bool madi_56ch, bool madi_smux) {
    std::uint32_t word = clock_word_ & ~(kMadi56Off | kMadiSmux);
    word |= madi_56ch ? 0 : kMadi56Off;
    word |= madi_smux ? kMadiSmux : 0;
    return write_clock_word(word);
}

std::expected<void, Error> Card::set_wordclock_input(bool enabled) {
    return parts_.gpio->set_line(lines_.wordclock_enable, enabled);
}

void Card::set_audio_mappings(std::vector<AudioMapping> listener,
                              std::vector<AudioMapping> talker) {
    listener_ = std::move(listener);
    talker_ = std::move(talker);
}

std::expected<void, Error> Card::apply_routing(const BlockRoutingBanks& banks) {
    banks_ = banks;
    table_ = expand(banks, rate_code_, listener_, talker_);
    return write_routing();
}

std::expected<void, Error> Card::configure_streams(std::size_t per_stream) {
    std::uint32_t value = kControl3ChannelBase | kControl3Strobe;
    for (std::uint32_t i = 0; i < kStreams; ++i) {
        value &= ~((0x1FFu << 8) | 0x3Fu | kControl3Input);
        value |= ((i * static_cast<std::uint32_t>(per_stream)) & 0x1FF) << 8;
        value |= i;
        if (auto ok = io(core_.write_control3(value)); !ok) {
            return ok;
        }
        if (auto ok = io(core_.write_control3(value | kControl3Input)); !ok) {
            return ok;
        }
    }
    return {};
}

std::expected<void, Error> Card::set_stream_format(std::uint8_t slot, bool input,
                                                   std::uint8_t channels, StreamFormatKind kind) {
    // Formats come from controllers on the network: refuse what the hardware cannot carry.
    if (slot >= kSlots || channels > 32) {
        return std::unexpected(invalid("stream < STREAM_COUNT && size <= 32"));
    }
    std::uint32_t value = slot | kControl3Strobe;
    value |= input ? kControl3Input : 0;
    value |= static_cast<std::uint32_t>(channels == 0 ? 0 : channels - 1) << 8;
    value |= kind == StreamFormatKind::Aaf ? kControl3Aaf : 0;
    value |= kind == StreamFormatKind::Crf ? kControl3Crf : 0;
    return io(core_.write_control3(value));
}

std::expected<void, Error> Card::check_port_slot(std::uint8_t port, std::uint8_t slot) {
    if (port > 1 || slot >= kSlots) {
        return std::unexpected(invalid("invalid stream port or slot"));
    }
    return {};
}

std::expected<void, Error> Card::clear_counters(std::size_t bank,
                                                std::span<const std::size_t> words) {
    if (auto ok = write_clock_word(clock_word_ | kCounterClear); !ok) {
        clock_word_ &= ~kCounterClear;
        return ok;
    }
    std::expected<void, Error> result;
    for (std::size_t word : words) {
        result = io(counters_->write_bank(bank, word, 0));
        if (!result) {
            break;
        }
    }
    auto lowered = write_clock_word(clock_word_ & ~kCounterClear);
    return result ? lowered : result;
}

std::expected<void, Error> Card::stream_output_start(std::uint8_t port, std::uint8_t slot) {
    if (auto ok = check_port_slot(port, slot); !ok) {
        return ok;
    }
    if (start_count_[port][slot] == stop_count_[port][slot]) {
        ++start_count_[port][slot];
        const std::size_t words[] = {counter_word::frames_tx(slot),
                                     counter_word::output_media_reset(slot)};
        (void)clear_counters(port, words);  // a failed clear does not stop the stream
    }
    const auto before = masks_;
    // Slots 32-63 live in the port's second mask word.
    masks_[2 * port + slot / 32] |= 1u << (slot % 32);
    return masks_ == before ? std::expected<void, Error>{} : write_masks();
}

std::expected<void, Error> Card::stream_output_stop(std::uint8_t port, std::uint8_t slot) {
    if (auto ok = check_port_slot(port, slot); !ok) {
        return ok;
    }
    if (start_count_[port][slot] == stop_count_[port][slot] + 1) {
        ++stop_count_[port][slot];
    }
    const auto before = masks_;
    masks_[2 * port + slot / 32] &= ~(1u << (slot % 32));
    return masks_ == before ? std::expected<void, Error>{} : write_masks();
}

std::expected<void, Error> Card::set_stream_output_destination(std::uint8_t port,
                                                               const MacAddress& address) {
    if (port > 1) {
        return std::unexpected(invalid("invalid stream port or slot"));
    }
    return io(core_.write32(kOutputSuffix[port], (std::uint32_t{address[4]} << 8) | address[5]));
}

std::expected<void, Error> Card::set_presentation_offset(std::uint8_t slot, std::uint32_t value) {
    if (auto ok = check_port_slot(0, slot); !ok) {
        return ok;
    }
    return io(core_.write32(kPresentationOffset + slot * 4u, value));
}

std::expected<void, Error> Card::set_stream_input_destination(std::uint8_t port, std::uint8_t slot,
                                                              const MacAddress& address) {
    if (auto ok = check_port_slot(port, slot); !ok) {
        return ok;
    }
    const auto suffix = static_cast<std::uint16_t>((address[4] << 8) | address[5]);
    if (input_suffix_[port][slot] == suffix) {
        return {};
    }
    if (auto ok = io(core_.write32(kInputSuffix + port * 0x100u + slot * 4u, suffix)); !ok) {
        return ok;
    }
    input_suffix_[port][slot] = suffix;
    if (address != kBroadcast) {
        new_destination_[port] |= std::uint64_t{1} << slot;
    }
    return {};
}

std::expected<CardStatus, Error> Card::read_status() {
    auto lock = io(core_.read32(kLockStatus));
    if (!lock) {
        return std::unexpected(lock.error());
    }
    auto fixed = io(core_.read32(kFixedInputs));
    if (!fixed) {
        return std::unexpected(fixed.error());
    }
    std::array<std::uint32_t, 13> rates{};  // one spare word so a code can read past word 11
    for (std::size_t i = 0; i < 12; ++i) {
        auto word = io(core_.read32(kSlotRates + 16 * i));
        if (!word) {
            return std::unexpected(word.error());
        }
        rates[i] = *word;
    }
    std::array<std::uint32_t, 4> locks{};
    for (std::size_t i = 0; i < 4; ++i) {
        auto word = io(core_.read32(kSlotLocks + 16 * i));
        if (!word) {
            return std::unexpected(word.error());
        }
        locks[i] = *word;
    }
    CardStatus status;
    for (std::size_t port = 0; port < 2; ++port) {
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            const std::size_t bit = 3 * (64 * port + slot);
            const std::size_t word = bit / 32;
            const std::size_t shift = bit % 32;
            std::uint64_t pair = rates[word] | (std::uint64_t{rates[word + 1]} << 32);
            const auto code = static_cast<std::uint8_t>((pair >> shift) & 7);
            const auto locked =
                static_cast<std::uint8_t>((locks[2 * port + slot / 32] >> (slot % 32)) & 1);
            status.streams[port][slot] = RateLock{code, locked};
        }
    }
    for (std::size_t k = 0; k < 6; ++k) {
        status.inputs[k] = RateLock{static_cast<std::uint8_t>((*fixed >> (3 * k)) & 7),
                                    static_cast<std::uint8_t>((*fixed >> (18 + k)) & 1)};
    }
    update_lock_counters(*fixed, status);
    status.flags = read_status_flags(*parts_.gpio, lines_);
    const auto [kind, number] = decode_source(static_cast<std::uint8_t>(*lock & 0xFF));
    status.ref_kind = kind;
    status.ref_number = number;
    return status;
}

void Card::update_lock_counters(std::uint32_t fixed_inputs, const CardStatus& status) {
    const auto [kind, number] =
        decode_source(static_cast<std::uint8_t>((clock_word_ & kClockSelectMask) >> 6));
    bool locked = false;
    if (kind >= 128 && kind <= 133) {
        locked = ((fixed_inputs >> (18 + kind - 128)) & 1) != 0;
    } else if (kind == 0 || kind == 1) {
        locked = status.streams[0][number].locked != 0 || status.streams[1][number].locked != 0;
    } else if (kind == kRefInternal) {
        locked = true;
    }
    if (locked && locked_count_ == unlocked_count_) {
        ++locked_count_;
    } else if (!locked && unlocked_count_ < locked_count_) {
        ++unlocked_count_;
    }
}

std::expected<StreamCounters, Error> Card::poll_counters() {
    namespace w = counter_word;
    StreamCounters result;
    auto read = [&](std::size_t bank, std::size_t word) {
        return io(counters_->read_bank(bank, word));
    };
    for (std::uint8_t port = 0; port < 2; ++port) {
        if (auto unused = read(port, w::kUnused); !unused) {
            return std::unexpected(unused.error());
        }
        for (std::size_t s = 0; s < kSlots; ++s) {
            const std::uint64_t bit = std::uint64_t{1} << s;
            auto locked = read(port, w::media_locked(s));
            if (!locked) {
                return std::unexpected(locked.error());
            }
            auto unlocked = read(port, w::media_unlocked(s));
            if (!unlocked) {
                return std::unexpected(unlocked.error());
            }
            InputCounters& out = result.inputs[port][s];
            if ((new_destination_[port] & bit) != 0) {
                // Still locked to the previous stream: report zeros until it lets go.
                if (*locked == *unlocked) {
                    const std::size_t words[] = {
                        w::frames_rx(s),        w::timestamp_uncertain(s), w::media_reset(s),
                        w::seq_num_mismatch(s), w::stream_interrupted(s),  w::unsupported_format(s),
                        w::late_timestamp(s),   w::early_timestamp(s),     w::media_locked(s),
                        w::media_unlocked(s)};
                    if (auto ok = clear_counters(port, words); !ok) {
                        return std::unexpected(ok.error());
                    }
                    new_destination_[port] &= ~bit;
                    reset_pending_[port] |= bit;
                }
                continue;
            }
            auto frames = read(port, w::frames_rx(s));
            if (!frames) {
                return std::unexpected(frames.error());
            }
            out.frames_rx = *frames;
            if ((reset_pending_[port] & bit) != 0) {
                out.media_reset = 0;
                if (*frames != 0) {
                    const std::size_t words[] = {w::media_reset(s)};
                    if (auto ok = clear_counters(port, words); !ok) {
                        return std::unexpected(ok.error());
                    }
                    reset_pending_[port] &= ~bit;
                }
            } else {
                auto reset = read(port, w::media_reset(s));
                if (!reset) {
                    return std::unexpected(reset.error());
                }
                out.media_reset = *reset;
            }
            struct Field {
                std::size_t word;
                std::uint32_t* into;
            };
            for (const Field& f : {Field{w::timestamp_uncertain(s), &out.timestamp_uncertain},
                                   Field{w::seq_num_mismatch(s), &out.seq_num_mismatch},
                                   Field{w::stream_interrupted(s), &out.stream_interrupted},
                                   Field{w::unsupported_format(s), &out.unsupported_format},
                                   Field{w::late_timestamp(s), &out.late_timestamp},
                                   Field{w::early_timestamp(s), &out.early_timestamp}}) {
                auto value = read(port, f.word);
                if (!value) {
                    return std::unexpected(value.error());
                }
                *f.into = *value;
            }
            out.media_locked = *locked;
            out.media_unlocked = *unlocked;
        }
    }
    for (std::uint8_t port = 0; port < 2; ++port) {
        for (std::size_t s = 0; s < kSlots; ++s) {
            OutputCounters& out = result.outputs[port][s];
            auto frames = read(port, w::frames_tx(s));
            if (!frames) {
                return std::unexpected(frames.error());
            }
            auto reset = read(port, w::output_media_reset(s));
            if (!reset) {
                return std::unexpected(reset.error());
            }
            out.frames_tx = *frames;
            out.media_reset = *reset;
            out.stream_start = start_count_[port][s];
            out.stream_stop = stop_count_[port][s];
        }
    }
    return result;
}

}  // namespace qz::device::avb
