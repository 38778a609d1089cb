// SSH public key upload over the control link: the host sends the key two bytes at a time and
// closes it with a CRC-16/USB word; a valid key becomes the card's authorized_keys file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qzel_device/control_word.h"

namespace qz::device {

std::uint16_t crc16_usb(std::span<const std::uint8_t> bytes);
bool valid_utf8(std::span<const std::uint8_t> bytes);

// Writes `content` to a temporary file beside `path`, syncs it and renames it over `path`, so a
// reader never sees a half-written file.
std::expected<void, std::string> write_file_atomically(const std::string& path,
                                                       std::string_view content);

// Runs a program (no shell) and waits for it; a non-zero exit status is an error.
std::expected<void, std::string> run_program(const std::vector<std::string>& argv);

struct SshKeyConfig {
    std::string authorized_keys{"/mnt/user/ssh/authorized_keys"};
    // Restarts the SSH service after a new key was written.
    std::function<std::expected<void, std::string>()> restart_service{[] {
        return run_program({"/etc/init.d/dropbear", "restart"});
    }};
};

enum class SshUploadResult {
    Appended,       // two more bytes in the buffer
    Installed,      // key written and service restarted
    BadCrc,         // buffer emptied
    NotUtf8,        // buffer emptied
    Invalid,        // empty or control character; buffer emptied
    WriteFailed,    // a file step failed; buffer emptied
    RestartFailed,  // key written, but the service restart failed
    Overflow,       // more than kMaxKeyBytes: buffer emptied
    WrongIndex,
    WrongType,
};

class SshKeyUpload {
public:
    // Far above any real public key line; a host that keeps sending cannot grow memory forever.
    static constexpr std::size_t kMaxKeyBytes = 16 * 1024;

    explicit SshKeyUpload(SshKeyConfig config);
    // Handles one `SshKey` word from the host.
    SshUploadResult handle(const ControlWord& word);
    std::size_t buffered() const { return buffer_.size(); }

private:
    SshUploadResult finish(std::uint16_t crc);
    SshKeyConfig config_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace qz::device
