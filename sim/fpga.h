// The simulated FPGA designs of the card: register memories with the behaviour the card library
// relies on, plus the controls and read-backs a test (or a host tool) needs.
//
// Every register window of a design is a backing object that forwards to one shared model, so
// the card library's two mappings of one block see the same registers. The model locks its own
// mutex: the host end of the control link may live on another thread than the card's owner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "qzel_device/xio.h"

namespace qz::sim {

// Plain little-endian byte memory used for the register arrays of the models.
class Memory {
public:
    explicit Memory(std::size_t length) : bytes_(length, 0) {}
    std::size_t size() const { return bytes_.size(); }
    std::uint32_t get32(std::size_t offset) const;
    void set32(std::size_t offset, std::uint32_t value);
    std::uint16_t get16(std::size_t offset) const;
    void set16(std::size_t offset, std::uint16_t value);

private:
    std::vector<std::uint8_t> bytes_;
};

// One completed burst that the card sent to the host.
struct Burst {
    int bank{-1};  // Milan: announced bank 0 or 1; Dante: -1
    std::vector<std::uint32_t> words;
};

// The host's side of the control link FIFOs, shared by both designs' models.
class LinkFifos {
public:
    std::deque<std::uint32_t> to_card;
    std::deque<Burst> to_host;
    std::vector<std::uint32_t> partial;  // words of the burst being written
    std::size_t expected{0};             // words announced for the current burst
    int bank{-1};
    int protocol_errors{0};  // words written without an announce, or announcements cut short
    // Completes the burst once it has all its words; returns true when it did.
    bool push_word(std::uint32_t word);
    void announce(std::size_t bytes, int announced_bank);
};

class MilanFpga : public std::enable_shared_from_this<MilanFpga> {
public:
    static std::shared_ptr<MilanFpga> create();

    // Windows of the design (each call makes a new mapping of the same registers).
    std::unique_ptr<device::RegisterBacking> core();
    std::unique_ptr<device::RegisterBacking> counters();
    std::unique_ptr<device::RegisterBacking> routing();

    // Control3: the busy bit stays set for this many status reads after each write
    // (a negative number: forever).
    void set_control3_busy_reads(int reads);
    int status_reads() const;
    std::vector<std::uint32_t> control3_writes() const;

    // Core registers a test sets.
    void set_design_id(std::uint32_t value);
    void set_lock_source(std::uint8_t value);
    void set_fixed_inputs(std::uint32_t value);
    void set_slot_rate_word(std::size_t index, std::uint32_t value);  // 0-11
    void set_slot_lock_word(std::size_t index, std::uint32_t value);  // 0-3

    // The last value written to a core register (write side), and the clock word history.
    std::uint32_t written(std::size_t offset) const;
    std::vector<std::uint32_t> clock_words() const;
    std::size_t core_writes(std::size_t offset) const;

    // Counter banks; writes without the counter-clear strobe set are counted as faults.
    std::uint32_t counter(std::size_t bank, std::size_t word) const;
    void set_counter(std::size_t bank, std::size_t word, std::uint32_t value);
    int unstrobed_counter_writes() const;

    std::uint32_t routing_word(std::size_t index) const;

    // Host end of the control link.
    void host_send(std::uint32_t word);
    std::vector<Burst> host_take();
    // While stalled the FPGA never shows the next bank (the host does not drain the FIFO).
    void set_tx_stalled(bool stalled);
    bool tx_bank_flag() const;
    int link_protocol_errors() const;

private:
    friend class MilanCoreBacking;
    friend class MilanCounterBacking;
    friend class MilanRoutingBacking;
    MilanFpga();

    std::uint32_t core_load32(std::size_t offset);
    void core_store32(std::size_t offset, std::uint32_t value);
    std::uint64_t core_load64(std::size_t offset);
    std::uint64_t core_load64_locked_(std::size_t offset);

    mutable std::mutex mutex_;
    Memory core_written_{0x2000};
    std::vector<std::size_t> core_write_counts_ = std::vector<std::size_t>(0x2000 / 4, 0);
    std::vector<std::uint32_t> clock_words_;
    std::uint32_t design_id_{0x00010203};
    std::uint8_t lock_source_{255};
    std::uint32_t fixed_inputs_{0};
    std::array<std::uint32_t, 12> slot_rates_{};
    std::array<std::uint32_t, 4> slot_locks_{};
    int busy_reads_setting_{0};
    int busy_left_{0};
    int status_reads_{0};
    std::vector<std::uint32_t> control3_;
    Memory counters_{0x2000};
    int unstrobed_{0};
    Memory routing_{0x4000};
    LinkFifos link_;
    bool tx_flag_{false};
    bool tx_stalled_{false};
};

class DanteFpga : public std::enable_shared_from_this<DanteFpga> {
public:
    static std::shared_ptr<DanteFpga> create();

    std::unique_ptr<device::RegisterBacking> core();
    std::unique_ptr<device::RegisterBacking> link();
    std::unique_ptr<device::RegisterBacking> version();
    std::unique_ptr<device::RegisterBacking> routing();

    void set_version(std::uint32_t value);
    // Read back of the control word: bits 4-7 show this clock source (0-15); with `raw` set the
    // whole low byte is replaced (an invalid state of the design).
    void set_clock_in_effect(std::uint8_t source);
    void set_control_low_byte(std::uint8_t raw);
    void set_lock_flags(std::uint32_t value);
    void set_madi_rates(std::uint32_t value);
    void set_rates(std::uint32_t value);

    std::uint32_t written(std::size_t offset) const;
    std::uint16_t routing_entry(std::size_t index) const;

    void host_send(std::uint32_t word);
    std::vector<Burst> host_take();
    // TX FIFO readiness: while not ready the card must reset it; `reset_helps` says whether a
    // reset makes it ready again, `reset_completes` whether the reset-done bit ever shows.
    void set_tx_ready(bool ready);
    void set_tx_reset_behaviour(bool reset_completes, bool reset_helps);
    int tx_resets() const;
    int link_protocol_errors() const;

private:
    friend class DanteCoreBacking;
    friend class DanteLinkBacking;
    friend class DanteVersionBacking;
    friend class DanteRoutingBacking;
    DanteFpga();

    std::uint32_t core_load32(std::size_t offset);
    void core_store32(std::size_t offset, std::uint32_t value);

    mutable std::mutex mutex_;
    Memory core_written_{0x1000};
    std::uint32_t control_{0};
    std::uint8_t clock_in_effect_{0};
    int raw_low_byte_{-1};
    std::uint32_t lock_flags_{0};
    std::uint32_t madi_rates_{0};
    std::uint32_t rates_{0};
    std::uint32_t version_{0x00000042};
    Memory routing_{0xE00};
    LinkFifos link_;
    bool tx_ready_{true};
    bool reset_done_{false};
    bool reset_completes_{true};
    bool reset_helps_{true};
    int tx_resets_{0};
};

}  // namespace qz::sim
