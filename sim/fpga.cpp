#include "sim/fpga.h"

#include <utility>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"

namespace qz::sim {

std::uint32_t Memory::get32(std::size_t offset) const {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes_.at(offset + i)) << (8 * i);
    }
    return value;
}

void Memory::set32(std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes_.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint16_t Memory::get16(std::size_t offset) const {
    return static_cast<std::uint16_t>(bytes_.at(offset) | (bytes_.at(offset + 1) << 8));
}

void Memory::set16(std::size_t offset, std::uint16_t value) {
    bytes_.at(offset) = static_cast<std::uint8_t>(value);
    bytes_.at(offset + 1) = static_cast<std::uint8_t>(value >> 8);
}

void LinkFifos::announce(std::size_t bytes, int announced_bank) {
    if (!partial.empty()) {
        ++protocol_errors;  // the previous burst was cut short
        partial.clear();
    }
    expected = bytes / 4;
    bank = announced_bank;
}

bool LinkFifos::push_word(std::uint32_t word) {
    if (expected == 0) {
        ++protocol_errors;
        return false;
    }
    partial.push_back(word);
    if (partial.size() < expected) {
        return false;
    }
    to_host.push_back(Burst{bank, std::move(partial)});
    partial.clear();
    expected = 0;
    return true;
}

namespace {

// A window onto one region of a model; every access goes to the model's functions.
template <typename Model>
class ForwardingBacking : public device::RegisterBacking {
public:
    using Load32 = std::uint32_t (*)(Model&, std::size_t);
    using Store32 = void (*)(Model&, std::size_t, std::uint32_t);
    using Load64 = std::uint64_t (*)(Model&, std::size_t);
    using Store16 = void (*)(Model&, std::size_t, std::uint16_t);

    ForwardingBacking(std::shared_ptr<Model> model, std::size_t length, Load32 on_load32,
                      Store32 on_store32, Load64 on_load64, Store16 on_store16)
        : model_(std::move(model)),
          length_(length),
          load32_(on_load32),
          store32_(on_store32),
          load64_(on_load64),
          store16_(on_store16) {}

    std::size_t length() const override { return length_; }
    std::uint32_t load32(std::size_t offset) override { return load32_(*model_, offset); }
    void store32(std::size_t offset, std::uint32_t value) override {
        store32_(*model_, offset, value);
    }
    std::uint64_t load64(std::size_t offset) override {
        if (load64_ != nullptr) {
            return load64_(*model_, offset);
        }
        return load32_(*model_, offset) |
               (static_cast<std::uint64_t>(load32_(*model_, offset + 4)) << 32);
    }
    void store16(std::size_t offset, std::uint16_t value) override {
        if (store16_ != nullptr) {
            store16_(*model_, offset, value);
            return;
        }
        // A 16-bit store on a 32-bit register file: merge into the word.
        const std::size_t word = offset & ~std::size_t{3};
        std::uint32_t current = load32_(*model_, word);
        const unsigned shift = (offset & 2) != 0 ? 16 : 0;
        current = (current & ~(0xFFFFu << shift)) | (static_cast<std::uint32_t>(value) << shift);
        store32_(*model_, word, current);
    }

private:
    std::shared_ptr<Model> model_;
    std::size_t length_;
    Load32 load32_;
    Store32 store32_;
    Load64 load64_;
    Store16 store16_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Milan design

class MilanCoreBacking {
public:
    static std::uint32_t load32(MilanFpga& m, std::size_t o) { return m.core_load32(o); }
    static void store32(MilanFpga& m, std::size_t o, std::uint32_t v) { m.core_store32(o, v); }
    static std::uint64_t load64(MilanFpga& m, std::size_t o) { return m.core_load64(o); }
};

class MilanCounterBacking {
public:
    static std::uint32_t load32(MilanFpga& m, std::size_t o) {
        std::lock_guard lock(m.mutex_);
        return m.counters_.get32(o);
    }
    static void store32(MilanFpga& m, std::size_t o, std::uint32_t v) {
        std::lock_guard lock(m.mutex_);
        if ((m.core_written_.get32(device::avb::kClockControl) & device::avb::kCounterClear) == 0) {
            ++m.unstrobed_;
        }
        m.counters_.set32(o, v);
    }
};

class MilanRoutingBacking {
public:
    static std::uint32_t load32(MilanFpga& m, std::size_t o) {
        std::lock_guard lock(m.mutex_);
        return m.routing_.get32(o);
    }
    static void store32(MilanFpga& m, std::size_t o, std::uint32_t v) {
        std::lock_guard lock(m.mutex_);
        m.routing_.set32(o, v);
    }
};

MilanFpga::MilanFpga() = default;

std::shared_ptr<MilanFpga> MilanFpga::create() {
    return std::shared_ptr<MilanFpga>(new MilanFpga());
}

std::unique_ptr<device::RegisterBacking> MilanFpga::core() {
    return std::make_unique<ForwardingBacking<MilanFpga>>(
        shared_from_this(), device::avb::kCoreLength, &MilanCoreBacking::load32,
        &MilanCoreBacking::store32, &MilanCoreBacking::load64, nullptr);
}

std::unique_ptr<device::RegisterBacking> MilanFpga::counters() {
    return std::make_unique<ForwardingBacking<MilanFpga>>(
        shared_from_this(), device::avb::kCounterLength, &MilanCounterBacking::load32,
        &MilanCounterBacking::store32, nullptr, nullptr);
}

std::unique_ptr<device::RegisterBacking> MilanFpga::routing() {
    return std::make_unique<ForwardingBacking<MilanFpga>>(
        shared_from_this(), device::avb::kRoutingLength, &MilanRoutingBacking::load32,
        &MilanRoutingBacking::store32, nullptr, nullptr);
}

std::uint32_t MilanFpga::core_load32(std::size_t offset) {
    namespace r = device::avb;
    std::lock_guard lock(mutex_);
    switch (offset) {
        case r::kDesignId:
            return design_id_;
        case r::kStatus: {
            ++status_reads_;
            if (busy_left_ != 0) {
                if (busy_left_ > 0) {
                    --busy_left_;
                }
                return device::kControl3Busy;
            }
            return 0;
        }
        case r::kLockStatus:
            return lock_source_ | (tx_flag_ ? r::kTxBankFlag : 0u);
        case r::kFixedInputs:
            return fixed_inputs_;
        default:
            break;
    }
    if (offset >= r::kSlotRates && offset < r::kSlotRates + 12 * 16 && offset % 16 == 0) {
        return slot_rates_[(offset - r::kSlotRates) / 16];
    }
    if (offset >= r::kSlotLocks && offset < r::kSlotLocks + 4 * 16 && offset % 16 == 0) {
        return slot_locks_[(offset - r::kSlotLocks) / 16];
    }
    if (offset == r::kLinkData) {
        return static_cast<std::uint32_t>(core_load64_locked_(offset));
    }
    return 0;
}

std::uint64_t MilanFpga::core_load64(std::size_t offset) {
    std::lock_guard lock(mutex_);
    return core_load64_locked_(offset);
}

std::uint64_t MilanFpga::core_load64_locked_(std::size_t offset) {
    if (offset != device::avb::kLinkData) {
        return 0;
    }
    if (link_.to_card.empty()) {
        return std::uint64_t{1} << 32;
    }
    const std::uint32_t word = link_.to_card.front();
    link_.to_card.pop_front();
    return word;
}

void MilanFpga::core_store32(std::size_t offset, std::uint32_t value) {
    namespace r = device::avb;
    std::lock_guard lock(mutex_);
    core_written_.set32(offset, value);
    ++core_write_counts_[offset / 4];
    switch (offset) {
        case r::kClockControl:
            clock_words_.push_back(value);
            return;
        case r::kControl3:
            control3_.push_back(value);
            busy_left_ = busy_reads_setting_;
            return;
        case r::kTxAnnounce: {
            const std::uint32_t low = value & 0xFF;
            const std::uint32_t high = (value >> 8) & 0xFF;
            const int bank = high != 0 ? 1 : 0;
            if (bank != (tx_flag_ ? 1 : 0)) {
                ++link_.protocol_errors;  // announced a bank the design does not show
            }
            link_.announce(bank == 1 ? high : low, bank);
            return;
        }
        case r::kLinkData:
            if (link_.push_word(value) && !tx_stalled_) {
                tx_flag_ = !tx_flag_;  // the host drained the bank; the other one is free
            }
            return;
        default:
            return;
    }
}

void MilanFpga::set_control3_busy_reads(int reads) {
    std::lock_guard lock(mutex_);
    busy_reads_setting_ = reads;
}
int MilanFpga::status_reads() const {
    std::lock_guard lock(mutex_);
    return status_reads_;
}
std::vector<std::uint32_t> MilanFpga::control3_writes() const {
    std::lock_guard lock(mutex_);
    return control3_;
}
void MilanFpga::set_design_id(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    design_id_ = value;
}
void MilanFpga::set_lock_source(std::uint8_t value) {
    std::lock_guard lock(mutex_);
    lock_source_ = value;
}
void MilanFpga::set_fixed_inputs(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    fixed_inputs_ = value;
}
void MilanFpga::set_slot_rate_word(std::size_t index, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    slot_rates_.at(index) = value;
}
void MilanFpga::set_slot_lock_word(std::size_t index, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    slot_locks_.at(index) = value;
}
std::uint32_t MilanFpga::written(std::size_t offset) const {
    std::lock_guard lock(mutex_);
    return core_written_.get32(offset);
}
std::vector<std::uint32_t> MilanFpga::clock_words() const {
    std::lock_guard lock(mutex_);
    return clock_words_;
}
std::size_t MilanFpga::core_writes(std::size_t offset) const {
    std::lock_guard lock(mutex_);
    return core_write_counts_.at(offset / 4);
}
std::uint32_t MilanFpga::counter(std::size_t bank, std::size_t word) const {
    std::lock_guard lock(mutex_);
    return counters_.get32(bank * 4096 + word * 4);
}
void MilanFpga::set_counter(std::size_t bank, std::size_t word, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    counters_.set32(bank * 4096 + word * 4, value);
}
int MilanFpga::unstrobed_counter_writes() const {
    std::lock_guard lock(mutex_);
    return unstrobed_;
}
std::uint32_t MilanFpga::routing_word(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return routing_.get32(index * 4);
}
void MilanFpga::host_send(std::uint32_t word) {
    std::lock_guard lock(mutex_);
    link_.to_card.push_back(word);
}
std::vector<Burst> MilanFpga::host_take() {
    std::lock_guard lock(mutex_);
    std::vector<Burst> out(link_.to_host.begin(), link_.to_host.end());
    link_.to_host.clear();
    return out;
}
void MilanFpga::set_tx_stalled(bool stalled) {
    std::lock_guard lock(mutex_);
    tx_stalled_ = stalled;
}
bool MilanFpga::tx_bank_flag() const {
    std::lock_guard lock(mutex_);
    return tx_flag_;
}
int MilanFpga::link_protocol_errors() const {
    std::lock_guard lock(mutex_);
    return link_.protocol_errors;
}

// ---------------------------------------------------------------------------------------------
// Dante design

class DanteCoreBacking {
public:
    static std::uint32_t load32(DanteFpga& m, std::size_t o) { return m.core_load32(o); }
    static void store32(DanteFpga& m, std::size_t o, std::uint32_t v) { m.core_store32(o, v); }
};

class DanteLinkBacking {
public:
    static std::uint32_t load32(DanteFpga& m, std::size_t o) {
        return m.core_load32(device::dante::kLinkStatusInCore + o);
    }
    static void store32(DanteFpga& m, std::size_t o, std::uint32_t v) {
        m.core_store32(device::dante::kLinkStatusInCore + o, v);
    }
};

class DanteVersionBacking {
public:
    static std::uint32_t load32(DanteFpga& m, std::size_t) {
        std::lock_guard lock(m.mutex_);
        return m.version_;
    }
    static void store32(DanteFpga&, std::size_t, std::uint32_t) {}
};

class DanteRoutingBacking {
public:
    static std::uint32_t load32(DanteFpga& m, std::size_t o) {
        std::lock_guard lock(m.mutex_);
        return m.routing_.get32(o);
    }
    static void store32(DanteFpga& m, std::size_t o, std::uint32_t v) {
        std::lock_guard lock(m.mutex_);
        m.routing_.set32(o, v);
    }
    static void store16(DanteFpga& m, std::size_t o, std::uint16_t v) {
        std::lock_guard lock(m.mutex_);
        m.routing_.set16(o, v);
    }
};

DanteFpga::DanteFpga() = default;

std::shared_ptr<DanteFpga> DanteFpga::create() {
    return std::shared_ptr<DanteFpga>(new DanteFpga());
}

std::unique_ptr<device::RegisterBacking> DanteFpga::core() {
    return std::make_unique<ForwardingBacking<DanteFpga>>(
        shared_from_this(), device::dante::kCoreLength, &DanteCoreBacking::load32,
        &DanteCoreBacking::store32, nullptr, nullptr);
}
std::unique_ptr<device::RegisterBacking> DanteFpga::link() {
    return std::make_unique<ForwardingBacking<DanteFpga>>(
        shared_from_this(), device::dante::kLinkLength, &DanteLinkBacking::load32,
        &DanteLinkBacking::store32, nullptr, nullptr);
}
std::unique_ptr<device::RegisterBacking> DanteFpga::version() {
    return std::make_unique<ForwardingBacking<DanteFpga>>(
        shared_from_this(), device::dante::kVersionLength, &DanteVersionBacking::load32,
        &DanteVersionBacking::store32, nullptr, nullptr);
}
std::unique_ptr<device::RegisterBacking> DanteFpga::routing() {
    return std::make_unique<ForwardingBacking<DanteFpga>>(
        shared_from_this(), device::dante::kRoutingLength, &DanteRoutingBacking::load32,
        &DanteRoutingBacking::store32, nullptr, &DanteRoutingBacking::store16);
}

std::uint32_t DanteFpga::core_load32(std::size_t offset) {
    namespace r = device::dante;
    std::lock_guard lock(mutex_);
    switch (offset) {
        case r::kControl: {
            std::uint32_t value = (control_ & ~0xF0u) | (std::uint32_t{clock_in_effect_} << 4);
            if (raw_low_byte_ >= 0) {
                value = (value & ~0xFFu) | static_cast<std::uint32_t>(raw_low_byte_);
            }
            return value;
        }
        case r::kLinkStatusInCore:
            return (link_.to_card.empty() ? r::kRxEmpty : 0u) | (tx_ready_ ? r::kTxReady : 0u) |
                   (reset_done_ ? r::kTxResetDone : 0u);
        case r::kLinkDataInCore: {
            if (link_.to_card.empty()) {
                return 0;
            }
            const std::uint32_t word = link_.to_card.front();
            link_.to_card.pop_front();
            return word;
        }
        case r::kLockFlags:
            return lock_flags_;
        case r::kMadiRates:
            return madi_rates_;
        case r::kRates:
            return rates_;
        default:
            return core_written_.get32(offset);
    }
}

void DanteFpga::core_store32(std::size_t offset, std::uint32_t value) {
    namespace r = device::dante;
    std::lock_guard lock(mutex_);
    switch (offset) {
        case r::kControl:
            control_ = value;
            break;
        case r::kLinkStatusInCore:
            if (value == r::kTxReset) {
                ++tx_resets_;
                reset_done_ = reset_completes_;
                if (reset_completes_ && reset_helps_) {
                    tx_ready_ = true;
                }
                link_.partial.clear();
                link_.expected = 0;
            } else {
                if (!tx_ready_) {
                    ++link_.protocol_errors;
                }
                link_.announce(value & 0xFF, -1);
            }
            return;
        case r::kLinkDataInCore:
            link_.push_word(value);
            return;
        default:
            break;
    }
    core_written_.set32(offset, value);
}

void DanteFpga::set_version(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    version_ = value;
}
void DanteFpga::set_clock_in_effect(std::uint8_t source) {
    std::lock_guard lock(mutex_);
    clock_in_effect_ = source & 0xF;
    raw_low_byte_ = -1;
}
void DanteFpga::set_control_low_byte(std::uint8_t raw) {
    std::lock_guard lock(mutex_);
    raw_low_byte_ = raw;
}
void DanteFpga::set_lock_flags(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    lock_flags_ = value;
}
void DanteFpga::set_madi_rates(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    madi_rates_ = value;
}
void DanteFpga::set_rates(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    rates_ = value;
}
std::uint32_t DanteFpga::written(std::size_t offset) const {
    std::lock_guard lock(mutex_);
    if (offset == device::dante::kControl) {
        return control_;
    }
    return core_written_.get32(offset);
}
std::uint16_t DanteFpga::routing_entry(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return routing_.get16(index * 2);
}
void DanteFpga::host_send(std::uint32_t word) {
    std::lock_guard lock(mutex_);
    link_.to_card.push_back(word);
}
std::vector<Burst> DanteFpga::host_take() {
    std::lock_guard lock(mutex_);
    std::vector<Burst> out(link_.to_host.begin(), link_.to_host.end());
    link_.to_host.clear();
    return out;
}
void DanteFpga::set_tx_ready(bool ready) {
    std::lock_guard lock(mutex_);
    tx_ready_ = ready;
}
void DanteFpga::set_tx_reset_behaviour(bool reset_completes, bool reset_helps) {
    std::lock_guard lock(mutex_);
    reset_completes_ = reset_completes;
    reset_helps_ = reset_helps;
}
int DanteFpga::tx_resets() const {
    std::lock_guard lock(mutex_);
    return tx_resets_;
}
int DanteFpga::link_protocol_errors() const {
    std::lock_guard lock(mutex_);
    return link_.protocol_errors;
}

}  // namespace qz::sim
