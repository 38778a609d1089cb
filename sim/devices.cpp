#include "sim/devices.h"

namespace qz::sim {

using device::Error;
using device::ErrorKind;

std::expected<void, Error> SimI2cBus::write(std::uint8_t address,
                                            std::span<const std::uint8_t> bytes) {
    if (fail_at && *fail_at == transfers.size()) {
        transfers.push_back({false, address, {bytes.begin(), bytes.end()}});
        return std::unexpected(Error{ErrorKind::I2c, "no acknowledge"});
    }
    transfers.push_back({false, address, {bytes.begin(), bytes.end()}});
    if (bytes.size() >= 2) {
        registers[{address, bytes[0]}] = bytes[1];
    }
    return {};
}

std::expected<std::uint8_t, Error> SimI2cBus::read_register(std::uint8_t address,
                                                            std::uint8_t reg) {
    const bool fail = fail_at && *fail_at == transfers.size();
    transfers.push_back({true, address, {reg}});
    if (fail) {
        return std::unexpected(Error{ErrorKind::I2c, "no acknowledge"});
    }
    auto found = registers.find({address, reg});
    return found == registers.end() ? std::uint8_t{0} : found->second;
}

std::expected<device::GpioLine, Error> SimGpioChip::request_line(std::uint32_t offset,
                                                                 std::uint32_t flags, bool value) {
    for (const auto& r : requests) {
        if (r.offset == offset) {
            return std::unexpected(
                Error{ErrorKind::Gpio, "Ioctl to GPIO_GET_LINEHANDLE_IOCTL failed: busy"});
        }
    }
    requests.push_back({offset, flags, value});
    return requests.size() - 1;
}

std::expected<void, Error> SimGpioChip::set_line(device::GpioLine line, bool value) {
    if (line >= requests.size() || (requests[line].flags & device::kGpioOutput) == 0) {
        return std::unexpected(Error{ErrorKind::Gpio, "not an output line"});
    }
    sets.push_back({requests[line].offset, value});
    return {};
}

std::expected<bool, Error> SimGpioChip::get_line(device::GpioLine line) {
    if (fail_reads || line >= requests.size()) {
        return std::unexpected(
            Error{ErrorKind::Gpio, "Ioctl to GPIOHANDLE_GET_LINE_VALUES_IOCTL failed: I/O"});
    }
    auto found = inputs.find(requests[line].offset);
    return found != inputs.end() && found->second;
}

std::expected<void, Error> RecordingSpi::write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (writes_.size() == 2 * kKeptWrites) {
        writes_.erase(writes_.begin(), writes_.begin() + static_cast<std::ptrdiff_t>(kKeptWrites));
    }
    writes_.emplace_back(bytes.begin(), bytes.end());
    ++total_;
    return {};
}

std::vector<std::vector<std::uint8_t>> RecordingSpi::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::size_t RecordingSpi::write_count() const {
    std::lock_guard lock(mutex_);
    return total_;
}

std::expected<std::uint16_t, Error> SimMii::read(std::uint16_t phy, std::uint16_t reg) {
    if (fail_reads) {
        return std::unexpected(Error{ErrorKind::Io, "Ioctl to SIOCGMIIREG failed: no device"});
    }
    auto found = registers.find({phy, reg});
    return found == registers.end() ? std::uint16_t{0} : found->second;
}

std::expected<void, Error> SimMii::write(std::uint16_t phy, std::uint16_t reg,
                                         std::uint16_t value) {
    if (fail_writes) {
        return std::unexpected(Error{ErrorKind::Io, "Ioctl to SIOCSMIIREG failed: no device"});
    }
    writes.push_back({phy, reg, value});
    registers[{phy, reg}] = value;
    return {};
}

}  // namespace qz::sim
