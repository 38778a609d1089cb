#include "qzel_device/ssh_key.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "qzel_device/par_ctrl_intf.h"
#include "support/log.h"
#include "support/unique_fd.h"

extern char** environ;

namespace qz::device {

std::uint16_t crc16_usb(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

namespace {

// Decodes UTF-8 into code points; false on any malformed, overlong or surrogate sequence.
bool decode_utf8(std::span<const std::uint8_t> bytes, std::vector<char32_t>* out) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
            min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
            min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (extra > bytes.size() - i - 1) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const std::uint8_t next = bytes[i + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if (out != nullptr) {
            out->push_back(cp);
        }
        i += extra + 1;
    }
    return true;
}

bool is_space(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}
bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

bool valid_utf8(std::span<const std::uint8_t> bytes) {
    return decode_utf8(bytes, nullptr);
}

std::expected<void, std::string> write_file_atomically(const std::string& path,
                                                       std::string_view content) {
    const std::string temp = path + ".tmp";
    UniqueFd fd{::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (!fd.valid()) {
        return std::unexpected(std::string(std::strerror(errno)));
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::string error = std::strerror(errno);
            ::unlink(temp.c_str());
            return std::unexpected(error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) {
        const std::string error = std::strerror(errno);
        ::unlink(temp.c_str());
        return std::unexpected(error);
    }
    fd.reset();
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string error = std::strerror(errno);
        ::unlink(temp.c_str());
        return std::unexpected(error);
    }
    return {};
}

std::expected<void, std::string> run_program(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return std::unexpected(std::string("no program given"));
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (spawned != 0) {
        return std::unexpected(std::string(std::strerror(spawned)));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::unexpected(std::string(std::strerror(errno)));
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::unexpected(fmt::format("{} exited with status {}", argv[0], status));
    }
    return {};
}

SshKeyUpload::SshKeyUpload(SshKeyConfig config) : config_(std::move(config)) {}

SshUploadResult SshKeyUpload::handle(const ControlWord& word) {
    if (word.op != static_cast<std::uint8_t>(Op::Set)) {
        qz::log::debug(kLinkTarget, "SSH key upload with wrong type ({})", word.op);
        return SshUploadResult::WrongType;
    }
    if (word.index == 1) {
        if (buffer_.size() + 2 > kMaxKeyBytes) {
            qz::log::error(kLinkTarget, "Uploaded SSH public key is too long");
            buffer_.clear();
            return SshUploadResult::Overflow;
        }
        buffer_.push_back(static_cast<std::uint8_t>(word.value >> 8));
        buffer_.push_back(static_cast<std::uint8_t>(word.value & 0xFF));
        return SshUploadResult::Appended;
    }
    if (word.index == 2) {
        auto result = finish(word.value);
        buffer_.clear();
        return result;
    }
    qz::log::debug(kLinkTarget, "SSH key upload with wrong index ({})", word.index);
    return SshUploadResult::WrongIndex;
}

SshUploadResult SshKeyUpload::finish(std::uint16_t crc) {
    if (crc16_usb(buffer_) != crc) {
        qz::log::error(kLinkTarget, "Invalid CRC for uploaded SSH public key");
        return SshUploadResult::BadCrc;
    }
    std::vector<char32_t> text;
    if (!decode_utf8(buffer_, &text)) {
        qz::log::error(kLinkTarget, "Uploaded SSH public key is not valid UTF-8");
        return SshUploadResult::NotUtf8;
    }
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) {
        ++begin;
    }
    while (end > begin && is_space(text[end - 1])) {
        --end;
    }
    bool control = false;
    for (std::size_t i = begin; i < end; ++i) {
        control = control || is_control(text[i]);
    }
    if (begin == end || control) {
        qz::log::error(
            kLinkTarget,
            "Uploaded SSH public key is not valid (empty or contains control character)");
        return SshUploadResult::Invalid;
    }
    // The trimmed key as one line. Byte positions equal code point positions only for ASCII, so
    // count the bytes of the trimmed-away whitespace (always ASCII) from both ends instead.
    const std::size_t lead_bytes = begin;
    const std::size_t tail_bytes = text.size() - end;
    std::string key(buffer_.begin() + static_cast<std::ptrdiff_t>(lead_bytes),
                    buffer_.end() - static_cast<std::ptrdiff_t>(tail_bytes));
    key.push_back('\n');

    const std::filesystem::path file(config_.authorized_keys);
    const auto directory = file.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        qz::log::error(kLinkTarget, "Could not create ssh directory: {}", ec.message());
        return SshUploadResult::WriteFailed;
    }
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
    if (ec) {
        qz::log::error(kLinkTarget, "Could not set permissions on ssh directory: {}", ec.message());
        return SshUploadResult::WriteFailed;
    }
    if (auto written = write_file_atomically(config_.authorized_keys, key); !written) {
        qz::log::error(kLinkTarget, "Failed to write authorized_keys file: {}", written.error());
        return SshUploadResult::WriteFailed;
    }
    if (config_.restart_service) {
        if (auto restarted = config_.restart_service(); !restarted) {
            qz::log::error(kLinkTarget, "Failed to restart dropbear: {}", restarted.error());
            return SshUploadResult::RestartFailed;
        }
    }
    return SshUploadResult::Installed;
}

}  // namespace qz::device
