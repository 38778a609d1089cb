// FPGA register windows: bounds-checked 32-bit access to a mapped block of registers.
//
// A window reaches its registers through a backing: the real one is a shared mapping of a file
// descriptor (the physical memory device on the card), the simulated card attaches behaviour to
// each access. The window itself is the same code for both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "qzel_device/error.h"

namespace qz::device {

// Raw register storage. Offsets reaching a backing are already checked by the window.
class RegisterBacking {
public:
    virtual ~RegisterBacking() = default;
    virtual std::size_t length() const = 0;
    virtual std::uint32_t load32(std::size_t offset) = 0;
    virtual void store32(std::size_t offset, std::uint32_t value) = 0;
    // One 64-bit access (the receive pair of the Milan control link is read this way).
    virtual std::uint64_t load64(std::size_t offset) = 0;
    virtual void store16(std::size_t offset, std::uint16_t value) = 0;
};

// A shared mapping of `length` bytes of an open file at `offset`. The offset need not be
// page-aligned: the mapping starts at the page below and the base pointer is moved up.
class MappedBacking final : public RegisterBacking {
public:
    static std::expected<std::unique_ptr<MappedBacking>, IoError> map(int fd, std::uint64_t offset,
                                                                      std::size_t length);
    ~MappedBacking() override;
    MappedBacking(const MappedBacking&) = delete;
    MappedBacking& operator=(const MappedBacking&) = delete;

    std::size_t length() const override { return length_; }
    std::uint32_t load32(std::size_t offset) override;
    void store32(std::size_t offset, std::uint32_t value) override;
    std::uint64_t load64(std::size_t offset) override;
    void store16(std::size_t offset, std::uint16_t value) override;

private:
    MappedBacking(void* mapping, std::size_t mapping_length, std::size_t delta, std::size_t length);

    void* mapping_;
    std::size_t mapping_length_;
    volatile std::uint8_t* base_;
    std::size_t length_;
};

// Where single-word accesses are traced. The default writes to the process log at trace level.
class AccessTrace {
public:
    virtual ~AccessTrace() = default;
    virtual bool enabled() const = 0;
    virtual void write(std::string_view line) = 0;
};

class LogAccessTrace final : public AccessTrace {
public:
    bool enabled() const override;
    void write(std::string_view line) override;
};

inline constexpr std::string_view kXioTarget = "xilinx_io::xio";
inline constexpr std::string_view kOutOfBounds = "index out of bounds.";
inline constexpr std::string_view kMisaligned = "index not properly aligned.";
inline constexpr std::string_view kControl3Timeout = "Write to Control3 register took too long";

// Offsets of the polled Control3 write (Milan core control block).
inline constexpr std::size_t kControl3Offset = 0x100;
inline constexpr std::size_t kStatusOffset = 0x080;
inline constexpr std::uint32_t kControl3Busy = 1u << 17;
inline constexpr int kControl3Polls = 51;

class RegisterWindow {
public:
    // `trace` may be null (no tracing); otherwise it must outlive the window.
    RegisterWindow(std::unique_ptr<RegisterBacking> backing, std::uint32_t phys_base,
                   AccessTrace* trace);
    // Traces into the process log.
    RegisterWindow(std::unique_ptr<RegisterBacking> backing, std::uint32_t phys_base);

    std::size_t length() const { return backing_->length(); }
    std::uint32_t phys_base() const { return phys_base_; }

    std::expected<std::uint32_t, IoError> read32(std::size_t offset);
    std::expected<void, IoError> write32(std::size_t offset, std::uint32_t value);
    std::expected<std::uint64_t, IoError> read64(std::size_t offset);
    // Copies 32-bit words starting at byte `position`.
    std::expected<void, IoError> write_block(std::size_t position,
                                             std::span<const std::uint32_t> words);
    // Copies one block of 64 16-bit entries (128 bytes) starting at byte `position`.
    std::expected<void, IoError> write_block16(std::size_t position,
                                               std::span<const std::uint16_t, 64> entries);
    // Counter banks: bank times 4096 plus index times 4.
    std::expected<std::uint32_t, IoError> read_bank(std::size_t bank, std::size_t index);
    std::expected<void, IoError> write_bank(std::size_t bank, std::size_t index,
                                            std::uint32_t value);
    // Writes Control3 and polls the status register until its busy bit clears.
    std::expected<void, IoError> write_control3(std::uint32_t value);

private:
    std::expected<void, IoError> check(std::size_t offset, std::size_t width) const;

    std::unique_ptr<RegisterBacking> backing_;
    std::uint32_t phys_base_;
    AccessTrace* trace_;
};

// Opens `path` (the physical memory device on the card), maps `length` bytes shared at file
// offset `phys_base` and closes the descriptor again.
std::expected<RegisterWindow, IoError> map(const std::string& path, std::uint32_t phys_base,
                                           std::size_t length);

inline constexpr std::string_view kMemDevice = "/dev/mem";

}  // namespace qz::device
