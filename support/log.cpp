#include "support/log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "support/syslog_record.h"
#include "support/unique_fd.h"

namespace qz::log {
namespace {

enum class Transport { Datagram, Stream };

struct Sink {
    UniqueFd fd;
    Transport transport{Transport::Datagram};
    // Only set for the UDP fallback, which sends each record to an address of its own.
    std::optional<sockaddr_in> udp_destination;
    std::optional<std::string> host_name;
    std::string program;
    long pid{0};
};

// The one process-wide logger. Never destroyed, so detached worker threads may log until the
// process ends.
struct Logger {
    std::mutex mutex;
    Sink sink;
};

Logger& logger() {
    static auto* instance = new Logger;
    return *instance;
}

std::atomic<std::uint8_t> max_level{0};

std::optional<UniqueFd> connect_unix(const std::string& path, Transport& transport) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A syslog socket is normally a datagram socket; some daemons only accept streams.
    for (const auto& [type, kind] :
         {std::pair{SOCK_DGRAM, Transport::Datagram}, std::pair{SOCK_STREAM, Transport::Stream}}) {
        UniqueFd fd{::socket(AF_UNIX, type | SOCK_CLOEXEC, 0)};
        if (!fd.valid()) {
            return std::nullopt;
        }
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
            0) {
            transport = kind;
            return fd;
        }
        if (errno != EPROTOTYPE) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<sockaddr_in> loopback(const std::string& address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1) {
        return std::nullopt;
    }
    return in;
}

std::string read_host_name() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        return {};
    }
    return std::string(buffer, ::strnlen(buffer, sizeof(buffer)));
}

// A stalled stream peer must not hold up the daemon for more than a moment per record.
void limit_send_time(int fd) {
    timeval timeout{0, 100'000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

std::expected<Sink, InitError> open_sink(const SyslogConfig& config) {
    Sink sink;
    sink.program = config.program_name;
    sink.pid = static_cast<long>(::getpid());

    for (const auto& path : config.unix_paths) {
        Transport transport{};
        if (auto fd = connect_unix(path, transport)) {
            sink.fd = std::move(*fd);
            sink.transport = transport;
            if (transport == Transport::Stream) {
                limit_send_time(sink.fd.get());
            }
            return sink;
        }
    }

    sink.host_name = read_host_name();
    const auto tcp = loopback(config.loopback_address, config.tcp_port);
    const auto udp = loopback(config.loopback_address, config.udp_port);
    auto local = loopback(config.loopback_address, 0);
    if (!tcp || !udp || !local) {
        return std::unexpected(InitError{"invalid loopback address " + config.loopback_address});
    }
    UniqueFd tcp_fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (tcp_fd.valid() &&
        ::connect(tcp_fd.get(), reinterpret_cast<const sockaddr*>(&*tcp), sizeof(*tcp)) == 0) {
        limit_send_time(tcp_fd.get());
        sink.fd = std::move(tcp_fd);
        sink.transport = Transport::Stream;
        return sink;
    }
    UniqueFd udp_fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!udp_fd.valid() ||
        ::bind(udp_fd.get(), reinterpret_cast<const sockaddr*>(&*local), sizeof(*local)) != 0) {
        return std::unexpected(InitError{std::string("udp socket: ") + std::strerror(errno)});
    }
    sink.fd = std::move(udp_fd);
    sink.transport = Transport::Datagram;
    sink.udp_destination = udp;
    return sink;
}

bool process_name_known() {
    char path[4096];
    const auto length = ::readlink("/proc/self/exe", path, sizeof(path));
    return length > 0;
}

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm result{};
    if (::localtime_r(&now, &result) == nullptr) {
        ::gmtime_r(&now, &result);
    }
    return result;
}

void send_record(const Sink& sink, const std::string& record) {
    constexpr int kFlags = MSG_NOSIGNAL;
    if (sink.transport == Transport::Stream) {
        // Records on a stream are delimited by a line feed.
        const std::string line = record + '\n';
        (void)::send(sink.fd.get(), line.data(), line.size(), kFlags);
        return;
    }
    // A datagram that does not fit the peer's queue is dropped rather than waited for.
    if (sink.udp_destination) {
        (void)::sendto(sink.fd.get(), record.data(), record.size(), kFlags | MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&*sink.udp_destination),
                       sizeof(*sink.udp_destination));
    } else {
        (void)::send(sink.fd.get(), record.data(), record.size(), kFlags | MSG_DONTWAIT);
    }
}

}  // namespace

std::expected<void, InitError> init_logging(std::string_view program_name) {
    return init_logging(SyslogConfig{.program_name = std::string(program_name)});
}

std::expected<void, InitError> init_logging(const SyslogConfig& config) {
    if (!process_name_known()) {
        return std::unexpected(InitError{"process name not found"});
    }
    auto sink = open_sink(config);
    if (!sink) {
        return std::unexpected(sink.error());
    }
    auto& instance = logger();
    {
        std::lock_guard lock(instance.mutex);
        instance.sink = std::move(*sink);
    }
    max_level.store(static_cast<std::uint8_t>(Level::Debug), std::memory_order_release);
    return {};
}

bool enabled(Level level) {
    return static_cast<std::uint8_t>(level) <= max_level.load(std::memory_order_acquire);
}

void write(Level level, std::string_view /*target*/, std::string_view message) {
    if (!enabled(level)) {
        return;
    }
    auto& instance = logger();
    const auto now = local_now();
    std::lock_guard lock(instance.mutex);
    const auto& sink = instance.sink;
    const auto host = sink.host_name ? std::optional<std::string_view>(*sink.host_name)
                                     : std::optional<std::string_view>();
    send_record(sink, format_record(level, now, host, sink.program, sink.pid, message));
}

}  // namespace qz::log
