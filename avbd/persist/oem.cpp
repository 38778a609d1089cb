#include "avbd/persist/oem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <vector>

#include "avbd/persist/files.h"
#include "qzel_device/ssh_key.h"
#include "support/unique_fd.h"

namespace qz::avbd::persist {
namespace {

constexpr std::size_t kBlock = 512;
// Members larger than this are not OEM data (the logo is a few kilobytes); refusing them keeps a
// corrupt size field from making the daemon read the whole flash into memory.
constexpr std::uint64_t kMaxMemberSize = 4 * 1024 * 1024;

// Reads exactly out.size() bytes at `offset`; the source reports an error or a short read.
using ReadAt = std::function<std::expected<void, std::string>(std::uint64_t offset,
                                                              std::span<std::uint8_t> out)>;

std::expected<void, std::string> pread_exact(int fd, std::uint64_t offset,
                                             std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(std::string(std::strerror(errno)));
        }
        if (n == 0) {
            return std::unexpected(std::string("failed to fill whole buffer"));
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// An octal number field (NUL or space terminated), or the base-256 form of large values.
std::expected<std::uint64_t, std::string> header_number(std::span<const std::uint8_t> field) {
    if (!field.empty() && (field[0] & 0x80) != 0) {
        std::uint64_t value = field[0] & 0x7F;
        for (std::size_t i = 1; i < field.size(); ++i) {
            if (value > (UINT64_MAX >> 8)) {
                return std::unexpected(std::string("numeric field too large"));
            }
            value = (value << 8) | field[i];
        }
        return value;
    }
    std::uint64_t value = 0;
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ') {
        ++i;
    }
    for (; i < field.size() && field[i] != 0 && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7' || value > (UINT64_MAX >> 3)) {
            return std::unexpected(std::string("invalid octal digit in header"));
        }
        value = (value << 3) | static_cast<std::uint64_t>(field[i] - '0');
    }
    return value;
}

std::string header_text(std::span<const std::uint8_t> field) {
    std::size_t n = 0;
    while (n < field.size() && field[n] != 0) {
        ++n;
    }
    return std::string(reinterpret_cast<const char*>(field.data()), n);
}

// The "path" record of a PAX extended header ("<length> <key>=<value>\n" records).
std::expected<std::optional<std::string>, std::string> pax_path(
    std::span<const std::uint8_t> data) {
    std::optional<std::string> path;
    std::size_t pos = 0;
    while (pos < data.size()) {
        if (data[pos] == 0) {
            break;  // padding
        }
        std::size_t space = pos;
        while (space < data.size() && data[space] != ' ') {
            ++space;
        }
        std::size_t length = 0;
        const auto* first = reinterpret_cast<const char*>(data.data() + pos);
        const auto* last = reinterpret_cast<const char*>(data.data() + space);
        auto [ptr, ec] = std::from_chars(first, last, length);
        if (ec != std::errc{} || ptr != last || space >= data.size() || length <= space - pos + 1 ||
            length > data.size() - pos || data[pos + length - 1] != '\n') {
            return std::unexpected(std::string("malformed PAX extended header"));
        }
        const std::string record(reinterpret_cast<const char*>(data.data() + space + 1),
                                 length - (space - pos) - 2);
        const auto equals = record.find('=');
        if (equals == std::string::npos) {
            return std::unexpected(std::string("malformed PAX extended header"));
        }
        if (record.substr(0, equals) == "path") {
            path = record.substr(equals + 1);
        }
        pos += length;
    }
    return path;
}

// The first line of a text member: valid UTF-8, not empty, without "\n" or "\r\n".
std::expected<std::string, std::string> first_line(const std::vector<std::uint8_t>& content) {
    if (!device::valid_utf8(content)) {
        return std::unexpected(std::string("stream did not contain valid UTF-8"));
    }
    std::string text(content.begin(), content.end());
    if (text.empty()) {
        return std::unexpected(std::string("Empty OEM entry"));
    }
    const auto newline = text.find('\n');
    if (newline != std::string::npos) {
        text.resize(newline);
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return text;
}

std::expected<std::uint64_t, std::string> parse_model_id(std::string text) {
    if (!text.empty() && text.front() == '+') {
        text.erase(0, 1);
    }
    if (text.empty()) {
        return std::unexpected(std::string("cannot parse integer from empty string"));
    }
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::unexpected(std::string("invalid digit found in string"));
        }
        if (value > (UINT64_MAX >> 4)) {
            return std::unexpected(std::string("number too large to fit in target type"));
        }
        value = (value << 4) | digit;
    }
    return value;
}

std::expected<OemValues, std::string> walk_archive(const ReadAt& read_at) {
    OemValues oem;
    oem.stream_naming_scheme = StreamNamingScheme::dir_trailing_pri_sec;
    unsigned flags = 0;
    std::uint64_t offset = 0;
    std::optional<std::string> next_path;
    std::array<std::uint8_t, kBlock> header{};
    for (;;) {
        if (auto read = read_at(offset, header); !read) {
            return std::unexpected(read.error());
        }
        offset += kBlock;
        if (std::all_of(header.begin(), header.end(), [](std::uint8_t b) { return b == 0; })) {
            break;  // end of archive
        }
        auto stored_sum = header_number(std::span(header).subspan(148, 8));
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < kBlock; ++i) {
            sum += (i >= 148 && i < 156) ? std::uint64_t{' '} : header[i];
        }
        if (!stored_sum || *stored_sum != sum) {
            return std::unexpected(std::string("archive header checksum mismatch"));
        }
        auto size = header_number(std::span(header).subspan(124, 12));
        if (!size) {
            return std::unexpected(size.error());
        }
        const char type = static_cast<char>(header[156]);
        const std::uint64_t padded = (*size + kBlock - 1) / kBlock * kBlock;
        std::string path = header_text(std::span(header).subspan(0, 100));
        const std::string prefix = header_text(std::span(header).subspan(345, 155));
        if (std::memcmp(header.data() + 257, "ustar", 5) == 0 && !prefix.empty()) {
            path = prefix + "/" + path;
        }
        if (next_path) {
            path = *std::exchange(next_path, std::nullopt);
        }
        const bool regular = type == '0' || type == '\0' || type == '7';
        const bool wanted =
            regular &&
            (path == "entity_model_id" || path == "default_entity_name" || path == "vendor_name" ||
             path == "model_name" || path == "firmware_version" || path == "serial_number" ||
             path == "stream_naming_scheme" || path == "logo");
        if (type == 'x' || wanted) {
            if (*size > kMaxMemberSize) {
                return std::unexpected(std::string("archive member too large"));
            }
            std::vector<std::uint8_t> content(static_cast<std::size_t>(*size));
            if (auto read = read_at(offset, content); !read) {
                return std::unexpected(read.error());
            }
            if (type == 'x') {
                auto pax = pax_path(content);
                if (!pax) {
                    return std::unexpected(pax.error());
                }
                next_path = *pax;
            } else if (path == "logo") {
                oem.logo = std::move(content);
            } else {
                auto text = first_line(content);
                if (!text) {
                    return std::unexpected(text.error());
                }
                if (path == "entity_model_id") {
                    auto id = parse_model_id(*text);
                    if (!id) {
                        return std::unexpected(id.error());
                    }
                    oem.entity_model_id = *id;
                    flags |= 0x01;
                } else if (path == "default_entity_name") {
                    oem.default_entity_name = *text;
                    flags |= 0x02;
                } else if (path == "vendor_name") {
                    oem.vendor_name = *text;
                    flags |= 0x04;
                } else if (path == "model_name") {
                    oem.model_name = *text;
                    flags |= 0x08;
                } else if (path == "firmware_version") {
                    oem.firmware_version = *text;
                    flags |= 0x10;
                } else if (path == "serial_number") {
                    oem.serial_number = *text;
                    flags |= 0x20;
                } else {
                    auto scheme = parse_stream_naming_scheme(*text);
                    if (!scheme) {
                        return std::unexpected(std::string("Invalid stream naming scheme"));
                    }
                    oem.stream_naming_scheme = *scheme;
                }
            }
        }
        offset += padded;
    }
    if (flags != 0x3F) {
        return std::unexpected(std::string("Incomplete OEM data"));
    }
    return oem;
}

}  // namespace

std::expected<device::VersionRecord, std::string> read_version_record(const std::string& path) {
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(path + ": " + std::strerror(errno));
    }
    std::array<std::uint8_t, 3> bytes{};
    if (auto read = pread_exact(fd.get(), kVersionOffset, bytes); !read) {
        return std::unexpected(path + ": " + read.error());
    }
    return device::VersionRecord{bytes[0], bytes[1], bytes[2]};
}

std::string read_factory_serial(const std::string& path) {
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    std::array<std::uint8_t, 8> bytes{};
    if (!fd.valid() || !pread_exact(fd.get(), kSerialOffset, bytes) || !device::valid_utf8(bytes)) {
        return "unknown";
    }
    return std::string(bytes.begin(), bytes.end());
}

std::expected<OemValues, std::string> read_oem_archive(const std::string& path,
                                                       std::uint64_t offset) {
    UniqueFd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!fd.valid()) {
        return std::unexpected(std::string(std::strerror(errno)));
    }
    return walk_archive([&fd, offset](std::uint64_t at, std::span<std::uint8_t> out) {
        return pread_exact(fd.get(), offset + at, out);
    });
}

std::expected<OemValues, std::string> parse_oem_archive(std::span<const std::uint8_t> bytes) {
    return walk_archive(
        [bytes](std::uint64_t at, std::span<std::uint8_t> out) -> std::expected<void, std::string> {
            if (at > bytes.size() || out.size() > bytes.size() - at) {
                return std::unexpected(std::string("failed to fill whole buffer"));
            }
            if (!out.empty()) {
                std::memcpy(out.data(), bytes.data() + at, out.size());
            }
            return {};
        });
}

std::string default_firmware_version(const device::VersionRecord& version,
                                     std::uint32_t design_id) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch) + "-v" + std::to_string(design_id & 0xFF);
}

std::expected<FlashIdentity, std::string> read_oem_values(const OemPaths& paths,
                                                          std::uint32_t design_id) {
    auto version = read_version_record(paths.oem_flash);
    if (!version) {
        return std::unexpected(version.error());
    }
    FlashIdentity identity;
    identity.version = *version;
    const std::string serial = read_factory_serial(paths.serial_flash);
    auto archive = read_oem_archive(paths.oem_flash, kOemArchiveOffset);
    if (archive) {
        identity.oem = std::move(*archive);
        return identity;
    }
    identity.oem_error = archive.error();
    identity.oem = default_oem_values(serial, default_firmware_version(*version, design_id));
    if (auto logo = read_small_file(paths.default_logo, kMaxMemberSize); logo && *logo) {
        identity.oem.logo = std::vector<std::uint8_t>((*logo)->begin(), (*logo)->end());
    }
    return identity;
}

}  // namespace qz::avbd::persist
