#include "sim/host_link_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qz::sim {
namespace {

// Sends one word without waiting: a host that does not read its reports must not stop the link
// from taking the host's words (each would wait for the other). A word that does not fit at all
// is dropped; one that fits in part is finished, so the stream stays aligned to whole words.
// Only a broken connection is an error.
bool send_word(int fd, const std::uint8_t* data, std::size_t size) {
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, flags);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return (errno == EAGAIN || errno == EWOULDBLOCK) && (flags & MSG_DONTWAIT) != 0;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        flags = MSG_NOSIGNAL;
    }
    return true;
}

}  // namespace

std::expected<std::unique_ptr<HostLinkServer>, std::string> HostLinkServer::start(
    const std::string& socket_path, std::shared_ptr<MilanFpga> fpga) {
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
    ::unlink(socket_path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        const std::string error = std::strerror(errno);
        ::close(fd);
        return std::unexpected("cannot listen on " + socket_path + ": " + error);
    }
    return std::unique_ptr<HostLinkServer>(new HostLinkServer(fd, socket_path, std::move(fpga)));
}

HostLinkServer::HostLinkServer(int listen_fd, std::string path, std::shared_ptr<MilanFpga> fpga)
    : listen_fd_(listen_fd), path_(std::move(path)), fpga_(std::move(fpga)) {
    thread_ = std::thread([this] { run(); });
}

HostLinkServer::~HostLinkServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
    ::unlink(path_.c_str());
}

void HostLinkServer::run() {
    int client = -1;
    std::vector<std::uint8_t> pending;  // bytes of a word not yet complete
    while (!stop_) {
        pollfd fds[1] = {{client >= 0 ? client : listen_fd_, POLLIN, 0}};
        const int ready = ::poll(fds, 1, 1);  // the card's reports are drained every millisecond
        if (ready > 0 && client < 0) {
            client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            pending.clear();
        } else if (ready > 0) {
            std::uint8_t buffer[512];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(client);
                client = -1;
            } else {
                pending.insert(pending.end(), buffer, buffer + n);
                std::size_t used = 0;
                for (; pending.size() - used >= 4; used += 4) {
                    const std::uint32_t word = (std::uint32_t{pending[used]} << 24) |
                                               (std::uint32_t{pending[used + 1]} << 16) |
                                               (std::uint32_t{pending[used + 2]} << 8) |
                                               pending[used + 3];
                    fpga_->host_send(word);
                }
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            }
        }
        for (const Burst& burst : fpga_->host_take()) {
            for (std::uint32_t word : burst.words) {
                const std::uint8_t bytes[4] = {
                    static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
                    static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
                if (client >= 0 && !send_word(client, bytes, 4)) {
                    ::close(client);
                    client = -1;
                }
            }
        }
    }
    if (client >= 0) {
        ::close(client);
    }
}

}  // namespace qz::sim
