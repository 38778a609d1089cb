// The card's factory identity from the boot flash: the version record, the factory serial text
// and the OEM archive (a ustar archive, PAX paths honoured).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "avbd/device/entity.h"
#include "qzel_device/reports.h"

namespace qz::avbd::persist {

inline constexpr std::uint64_t kVersionOffset = 0x10000;
inline constexpr std::uint64_t kOemArchiveOffset = 0x20000;
inline constexpr std::uint64_t kSerialOffset = 0x440;

struct OemPaths {
    std::string oem_flash{"/dev/mtdblock1"};
    std::string serial_flash{"/dev/mtdblock0"};
    std::string default_logo{"/opt/logo.png"};
};

// The three version bytes; failing to read them is fatal to start-up.
std::expected<device::VersionRecord, std::string> read_version_record(const std::string& path);

// The 8-byte factory serial text, or "unknown".
std::string read_factory_serial(const std::string& path);

// Walks the archive starting at `offset` of `path`.
std::expected<OemValues, std::string> read_oem_archive(const std::string& path,
                                                       std::uint64_t offset);
// The same over bytes in memory (the archive starts at byte 0).
std::expected<OemValues, std::string> parse_oem_archive(std::span<const std::uint8_t> bytes);

struct FlashIdentity {
    device::VersionRecord version;
    OemValues oem;
    // Why the defaults stand in for the archive, when they do.
    std::optional<std::string> oem_error;
};

// The firmware version text of the defaults: major.minor.patch-vN, N the low byte of the design
// identification word.
std::string default_firmware_version(const device::VersionRecord& version, std::uint32_t design_id);

// Everything of start-up step 8. Only the version record's read is an error.
std::expected<FlashIdentity, std::string> read_oem_values(const OemPaths& paths,
                                                          std::uint32_t design_id);

}  // namespace qz::avbd::persist
