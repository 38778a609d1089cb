#include "tools/host_ctl/host_link.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "qzel_device/ssh_key.h"

namespace qz::host_ctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 21> kTypeNames{"?",
                                                 "SamplingRate",
                                                 "Clock",
                                                 "RefClock",
                                                 "ClockStates",
                                                 "MiscSettings",
                                                 "MiscStatus",
                                                 "StaticInfo",
                                                 "BlockRouting",
                                                 "HpVolume",
                                                 "Led",
                                                 "DeviceName",
                                                 "IpConfig",
                                                 "ChannelRouting",
                                                 "InternalCommand",
                                                 "FactoryReset",
                                                 "SshKey",
                                                 "17",
                                                 "18",
                                                 "AvbInputStreamFormat",
                                                 "AvbOutputStreamFormat"};

constexpr std::array<std::uint32_t, 8> kRates{32000, 44100, 48000, 88200, 96000, 176400, 192000, 0};

std::string clock_code_text(std::uint16_t code) {
    static constexpr std::array<const char*, 7> kFixed{
        "Internal", "Word Clock", "MADI A1", "MADI A2", "MADI B1", "MADI B2", "AES/EBU"};
    if (code < kFixed.size()) {
        return kFixed[code];
    }
    if (code >= 7 && code <= 38) {
        return fmt::format("primary stream input {}", code - 7);
    }
    if (code == 39) {
        return "primary clock stream";
    }
    if (code >= 40 && code <= 71) {
        return fmt::format("secondary stream input {}", code - 40);
    }
    if (code == 72) {
        return "secondary clock stream";
    }
    if (code == 0xFFFF) {
        return "none";
    }
    return "unknown";
}

std::string bank_text(std::uint8_t code) {
    if (code < 8) {
        return fmt::format("Pci{}", code + 1);
    }
    if (code < 16) {
        return fmt::format("Avb{}", code - 7);
    }
    static constexpr std::array<const char*, 4> kMadi{"MadiA1", "MadiA2", "MadiB1", "MadiB2"};
    if (code < 20) {
        return kMadi[code - 16];
    }
    return "Unrouted";
}

std::string rate_state(std::uint16_t field) {
    const unsigned rate = field & 0x7;
    return rate < 7 ? fmt::format("{}{}", kRates[rate], (field & 0x8) != 0 ? "/locked" : "")
                    : std::string("-");
}

std::string meaning(const device::ControlWord& w) {
    using device::MessageType;
    switch (static_cast<MessageType>(w.type)) {
        case MessageType::SamplingRate:
            return w.value < 8 ? fmt::format("{} Hz", kRates[w.value]) : "invalid";
        case MessageType::Clock:
        case MessageType::RefClock:
            return clock_code_text(w.value);
        case MessageType::ClockStates:
            return fmt::format("{} {} {}", rate_state(w.value & 0x1F),
                               rate_state((w.value >> 5) & 0x1F),
                               rate_state((w.value >> 10) & 0x1F));
        case MessageType::MiscSettings:
            return fmt::format("wordclock_input={} madi_56ch={} madi_smux={}", w.value & 1,
                               (w.value >> 2) & 1, (w.value >> 3) & 1);
        case MessageType::MiscStatus:
            if (w.index == 2) {
                return "alive";
            }
            return fmt::format("port0 {}{} port1 {}{} identify={} input_a={} input_b={}",
                               (w.value & 2) != 0 ? "up" : "down", (w.value & 1) != 0 ? " 1G" : "",
                               (w.value & 8) != 0 ? "up" : "down", (w.value & 4) != 0 ? " 1G" : "",
                               (w.value >> 4) & 1, (w.value >> 6) & 1, (w.value >> 7) & 1);
        case MessageType::StaticInfo:
            if (w.index == 1 || w.index == 2) {
                return fmt::format("version bytes {}.{}", w.value >> 8, w.value & 0xFF);
            }
            return fmt::format("address bytes {:02x}:{:02x}", w.value >> 8, w.value & 0xFF);
        case MessageType::BlockRouting:
            if (w.index >= 1 && w.index <= 10) {
                return fmt::format("{} {}", bank_text(static_cast<std::uint8_t>(w.value >> 8)),
                                   bank_text(static_cast<std::uint8_t>(w.value & 0xFF)));
            }
            return fmt::format("pair {}", w.value & 0xFF);
        case MessageType::IpConfig:
            return fmt::format("{}.{}", w.value >> 8, w.value & 0xFF);
        case MessageType::AvbInputStreamFormat:
        case MessageType::AvbOutputStreamFormat: {
            static constexpr std::array<const char*, 3> kKinds{"AAF", "IEC61883-6", "CRF"};
            const unsigned kind = w.value >> 12;
            return fmt::format("{} {} ch {} Hz", kind < 3 ? kKinds[kind] : "?", w.value & 0xFF,
                               kRates[(w.value >> 8) & 7]);
        }
        default:
            return "";
    }
}

}  // namespace

std::expected<HostLink, std::string> HostLink::connect(const std::string& socket_path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof(address.sun_path)) {
        return std::unexpected("socket path too long: " + socket_path);
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::unexpected(std::string("socket: ") + std::strerror(errno));
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string error = std::strerror(errno);
        ::close(fd);
        return std::unexpected("cannot connect to " + socket_path + ": " + error);
    }
    return HostLink(fd);
}

HostLink::HostLink(HostLink&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

HostLink::~HostLink() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::expected<void, std::string> HostLink::send(const device::ControlWord& word) {
    const std::uint32_t raw = device::encode(word);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(raw >> 24), static_cast<std::uint8_t>(raw >> 16),
        static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
    std::size_t done = 0;
    while (done < 4) {
        const ssize_t n = ::send(fd_, bytes + done, 4 - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(std::string("send: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::expected<std::vector<std::uint32_t>, std::string> HostLink::receive(
    std::chrono::milliseconds timeout) {
    std::vector<std::uint32_t> words;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Rounded up, so a short time-out still waits for what is on its way.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return words;
        }
        pollfd fd{fd_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return std::unexpected(std::string("poll: ") + std::strerror(errno));
        }
        if (ready <= 0) {
            continue;
        }
        std::uint8_t buffer[1024];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) {
            return std::unexpected(std::string("the card closed the link"));
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(std::string("recv: ") + std::strerror(errno));
        }
        pending_.insert(pending_.end(), buffer, buffer + n);
        std::size_t used = 0;
        for (; pending_.size() - used >= 4; used += 4) {
            words.push_back((std::uint32_t{pending_[used]} << 24) |
                            (std::uint32_t{pending_[used + 1]} << 16) |
                            (std::uint32_t{pending_[used + 2]} << 8) | pending_[used + 3]);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

std::expected<std::optional<device::ControlWord>, std::string> HostLink::wait_for(
    std::uint8_t type, std::uint8_t index, std::chrono::milliseconds timeout,
    std::vector<std::uint32_t>* seen) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        auto words = receive(std::chrono::milliseconds(1));
        if (!words) {
            return std::unexpected(words.error());
        }
        for (std::size_t i = 0; i < words->size(); ++i) {
            auto decoded = device::decode((*words)[i]);
            if (decoded && decoded->type == type && decoded->index == index) {
                // Words after the match stay unread for the next call.
                for (std::size_t j = words->size(); j-- > i + 1;) {
                    const std::uint32_t raw = (*words)[j];
                    pending_.insert(
                        pending_.begin(),
                        {static_cast<std::uint8_t>(raw >> 24), static_cast<std::uint8_t>(raw >> 16),
                         static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)});
                }
                return std::optional(*decoded);
            }
            if (seen != nullptr) {
                seen->push_back((*words)[i]);
            }
        }
    }
    return std::optional<device::ControlWord>{};
}

std::string describe(std::uint32_t raw) {
    auto word = device::decode(raw);
    if (!word) {
        return fmt::format("{:#010x} invalid ({})", raw,
                           word.error().fault == device::DecodeFault::Parity ? "parity" : "type");
    }
    const auto op = std::array<const char*, 4>{"Get", "Set", "Resp", "Notif"}[word->op & 3];
    const auto text = meaning(*word);
    return fmt::format("{} {}[{}] = {:#06x}{}{}", op, kTypeNames.at(word->type), word->index,
                       word->value, text.empty() ? "" : "  ", text);
}

std::vector<device::ControlWord> ssh_key_words(const std::string& key) {
    std::vector<std::uint8_t> bytes(key.begin(), key.end());
    if (bytes.size() % 2 != 0) {
        bytes.push_back('\n');  // whitespace is trimmed by the card; keeps whole words
    }
    std::vector<device::ControlWord> words;
    const auto set = static_cast<std::uint8_t>(device::Op::Set);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        words.push_back({16, 1, static_cast<std::uint16_t>((bytes[i] << 8) | bytes[i + 1]), set});
    }
    words.push_back({16, 2, device::crc16_usb(bytes), set});
    return words;
}

}  // namespace qz::host_ctl
