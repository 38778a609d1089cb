// Recording stand-ins for the card's peripherals: they keep what was done to them and can be
// told to fail, so tests see the exact sequences.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "qzel_device/peripherals.h"

namespace qz::sim {

struct I2cTransfer {
    bool read;  // a register read (the register number is bytes[0])
    std::uint8_t address;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const I2cTransfer&, const I2cTransfer&) = default;
};

// An I2C bus with byte registers per device: a two-byte write stores a register, a register read
// returns it.
class SimI2cBus final : public device::I2cBus {
public:
    std::expected<void, device::Error> write(std::uint8_t address,
                                             std::span<const std::uint8_t> bytes) override;
    std::expected<std::uint8_t, device::Error> read_register(std::uint8_t address,
                                                             std::uint8_t reg) override;

    std::vector<I2cTransfer> transfers;
    std::map<std::pair<std::uint8_t, std::uint8_t>, std::uint8_t> registers;
    std::optional<std::size_t> fail_at;  // the transfer with this number fails
};

struct GpioRequest {
    std::uint32_t offset;
    std::uint32_t flags;
    bool value;
    friend bool operator==(const GpioRequest&, const GpioRequest&) = default;
};

struct GpioEvent {
    std::uint32_t offset;
    bool value;
    friend bool operator==(const GpioEvent&, const GpioEvent&) = default;
};

class SimGpioChip final : public device::GpioChip {
public:
    std::expected<device::GpioLine, device::Error> request_line(std::uint32_t offset,
                                                                std::uint32_t flags,
                                                                bool value) override;
    std::expected<void, device::Error> set_line(device::GpioLine line, bool value) override;
    std::expected<bool, device::Error> get_line(device::GpioLine line) override;

    void set_input(std::uint32_t offset, bool value) { inputs[offset] = value; }

    std::vector<GpioRequest> requests;
    std::vector<GpioEvent> sets;
    std::map<std::uint32_t, bool> inputs;  // logical values the input lines read
    bool fail_reads{false};
};

// Keeps the most recent writes only: the identify sweep writes 200 times a second, and the
// simulator program may run for days.
class RecordingSpi final : public device::SpiDevice {
public:
    static constexpr std::size_t kKeptWrites = 4096;

    std::expected<void, device::Error> write(std::span<const std::uint8_t> bytes) override;
    // The kept writes, oldest first.
    std::vector<std::vector<std::uint8_t>> writes() const;
    // Every write so far, also the ones no longer kept.
    std::size_t write_count() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> writes_;
    std::size_t total_{0};
};

class SimMii final : public device::MiiBus {
public:
    std::expected<std::uint16_t, device::Error> read(std::uint16_t phy, std::uint16_t reg) override;
    std::expected<void, device::Error> write(std::uint16_t phy, std::uint16_t reg,
                                             std::uint16_t value) override;

    std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> registers;
    std::vector<std::array<std::uint16_t, 3>> writes;  // phy, register, value
    bool fail_reads{false};
    bool fail_writes{false};
};

}  // namespace qz::sim
