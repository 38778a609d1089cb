#include "qzel_device/xio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "support/log.h"
#include "support/unique_fd.h"

namespace qz::device {

std::expected<std::unique_ptr<MappedBacking>, IoError> MappedBacking::map(int fd,
                                                                          std::uint64_t offset,
                                                                          std::size_t length) {
    if (length == 0) {
        return std::unexpected(IoError{IoKind::InvalidInput, "empty mapping"});
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t page_size = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    const std::uint64_t aligned = offset - offset % page_size;
    const auto delta = static_cast<std::size_t>(offset - aligned);
    const std::size_t mapping_length = delta + length;
    void* mapping = ::mmap(nullptr, mapping_length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                           static_cast<off_t>(aligned));
    if (mapping == MAP_FAILED) {
        return std::unexpected(os_error("mmap failed: ", errno));
    }
    return std::unique_ptr<MappedBacking>(
        new MappedBacking(mapping, mapping_length, delta, length));
}

MappedBacking::MappedBacking(void* mapping, std::size_t mapping_length, std::size_t delta,
                             std::size_t length)
    : mapping_(mapping),
      mapping_length_(mapping_length),
      base_(static_cast<volatile std::uint8_t*>(mapping) + delta),
      length_(length) {}

MappedBacking::~MappedBacking() {
    ::munmap(mapping_, mapping_length_);
}

// Registers need exactly one access of the named width; the volatile pointers keep the compiler
// from splitting, merging or dropping them.
std::uint32_t MappedBacking::load32(std::size_t offset) {
    return *reinterpret_cast<volatile std::uint32_t*>(base_ + offset);
}

void MappedBacking::store32(std::size_t offset, std::uint32_t value) {
    *reinterpret_cast<volatile std::uint32_t*>(base_ + offset) = value;
}

std::uint64_t MappedBacking::load64(std::size_t offset) {
    return *reinterpret_cast<volatile std::uint64_t*>(base_ + offset);
}

void MappedBacking::store16(std::size_t offset, std::uint16_t value) {
    *reinterpret_cast<volatile std::uint16_t*>(base_ + offset) = value;
}

bool LogAccessTrace::enabled() const {
    return qz::log::enabled(qz::log::Level::Trace);
}

void LogAccessTrace::write(std::string_view line) {
    qz::log::write(qz::log::Level::Trace, kXioTarget, line);
}

namespace {
// Stateless, so sharing one instance between windows is harmless.
LogAccessTrace& log_trace() {
    static LogAccessTrace instance;
    return instance;
}
}  // namespace

RegisterWindow::RegisterWindow(std::unique_ptr<RegisterBacking> backing, std::uint32_t phys_base,
                               AccessTrace* trace)
    : backing_(std::move(backing)), phys_base_(phys_base), trace_(trace) {}

RegisterWindow::RegisterWindow(std::unique_ptr<RegisterBacking> backing, std::uint32_t phys_base)
    : RegisterWindow(std::move(backing), phys_base, &log_trace()) {}

std::expected<void, IoError> RegisterWindow::check(std::size_t offset, std::size_t width) const {
    const std::size_t len = backing_->length();
    if (len < width || offset > len - width) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kOutOfBounds)});
    }
    if (offset % 4 != 0) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kMisaligned)});
    }
    return {};
}

std::expected<std::uint32_t, IoError> RegisterWindow::read32(std::size_t offset) {
    if (auto ok = check(offset, 4); !ok) {
        return std::unexpected(ok.error());
    }
    const std::uint32_t value = backing_->load32(offset);
    if (trace_ != nullptr && trace_->enabled()) {
        trace_->write(fmt::format("in_32 0x{:X} 0x{:X}", phys_base_ + offset, value));
    }
    return value;
}

std::expected<void, IoError> RegisterWindow::write32(std::size_t offset, std::uint32_t value) {
    if (auto ok = check(offset, 4); !ok) {
        return ok;
    }
    if (trace_ != nullptr && trace_->enabled()) {
        trace_->write(fmt::format("out_32 0x{:X}: 0x{:X}", phys_base_ + offset, value));
    }
    backing_->store32(offset, value);
    return {};
}

std::expected<std::uint64_t, IoError> RegisterWindow::read64(std::size_t offset) {
    if (auto ok = check(offset, 8); !ok) {
        return std::unexpected(ok.error());
    }
    const std::uint64_t value = backing_->load64(offset);
    if (trace_ != nullptr && trace_->enabled()) {
        trace_->write(fmt::format("in_64 0x{:X} 0x{:X}", phys_base_ + offset, value));
    }
    return value;
}

std::expected<void, IoError> RegisterWindow::write_block(std::size_t position,
                                                         std::span<const std::uint32_t> words) {
    const std::size_t len = backing_->length();
    if (words.size() > len / 4 || position > len - 4 * words.size()) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kOutOfBounds)});
    }
    if (position % 4 != 0) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kMisaligned)});
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        backing_->store32(position + 4 * i, words[i]);
    }
    return {};
}

std::expected<void, IoError> RegisterWindow::write_block16(
    std::size_t position, std::span<const std::uint16_t, 64> entries) {
    const std::size_t len = backing_->length();
    if (len < 128 || position > len - 128) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kOutOfBounds)});
    }
    if (position % 2 != 0) {
        return std::unexpected(IoError{IoKind::AddrNotAvailable, std::string(kMisaligned)});
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        backing_->store16(position + 2 * i, entries[i]);
    }
    return {};
}

std::expected<std::uint32_t, IoError> RegisterWindow::read_bank(std::size_t bank,
                                                                std::size_t index) {
    return read32(bank * 4096 + index * 4);
}

std::expected<void, IoError> RegisterWindow::write_bank(std::size_t bank, std::size_t index,
                                                        std::uint32_t value) {
    return write32(bank * 4096 + index * 4, value);
}

std::expected<void, IoError> RegisterWindow::write_control3(std::uint32_t value) {
    if (auto ok = write32(kControl3Offset, value); !ok) {
        return ok;
    }
    for (int poll = 0; poll < kControl3Polls; ++poll) {
        auto status = read32(kStatusOffset);
        if (!status) {
            return std::unexpected(status.error());
        }
        if ((*status & kControl3Busy) == 0) {
            return {};
        }
    }
    return std::unexpected(IoError{IoKind::TimedOut, std::string(kControl3Timeout)});
}

std::expected<RegisterWindow, IoError> map(const std::string& path, std::uint32_t phys_base,
                                           std::size_t length) {
    UniqueFd fd{::open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC, 0666)};
    if (!fd.valid()) {
        return std::unexpected(os_error("open " + path + " failed: ", errno));
    }
    auto backing = MappedBacking::map(fd.get(), phys_base, length);
    if (!backing) {
        return std::unexpected(backing.error());
    }
    // The descriptor closes here; the mapping stays valid without it.
    return RegisterWindow(std::move(*backing), phys_base);
}

}  // namespace qz::device
