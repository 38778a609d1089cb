#include "ptp_mng/ptp_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace qz::ptp {

std::expected<std::unique_ptr<PtpManagementClient>, std::string> PtpManagementClient::open_client(
    const std::string& socket_path, const std::string& local_path, std::uint32_t process_id) {
    UniqueFd fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (!fd.valid()) {
        return std::unexpected(std::string("socket: ") + std::strerror(errno));
    }
    sockaddr_un own{};
    own.sun_family = AF_UNIX;
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof(peer.sun_path) || local_path.size() >= sizeof(own.sun_path)) {
        return std::unexpected("socket path too long: " + socket_path);
    }
    std::memcpy(own.sun_path, local_path.c_str(), local_path.size() + 1);
    ::unlink(local_path.c_str());  // left behind by an earlier run of the same process id
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&own), sizeof(own)) != 0) {
        return std::unexpected("bind " + local_path + ": " + std::strerror(errno));
    }
    std::memcpy(peer.sun_path, socket_path.c_str(), socket_path.size() + 1);
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC)};
    if (!wake.valid() ||
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
        const std::string reason = std::strerror(errno);
        ::unlink(local_path.c_str());
        return std::unexpected("connect " + socket_path + ": " + reason);
    }
    return std::unique_ptr<PtpManagementClient>(new PtpManagementClient(
        std::move(fd), local_path, std::move(wake), ClockIdentity{process_id}));
}

PtpManagementClient::PtpManagementClient(UniqueFd socket, std::string local_path, UniqueFd wake,
                                         ClockIdentity identity)
    : socket_(std::move(socket)),
      local_path_(std::move(local_path)),
      wake_(std::move(wake)),
      clock_identity_(identity) {
    receiver_ = std::thread([this] { receive_loop(); });
}

PtpManagementClient::~PtpManagementClient() {
    const std::uint64_t one = 1;
    (void)::write(wake_.get(), &one, sizeof(one));
    receiver_.join();
    ::unlink(local_path_.c_str());
}

void PtpManagementClient::receive_loop() {
    std::array<std::uint8_t, 1520> buffer{};
    while (true) {
        std::array<pollfd, 2> fds{{{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const auto n = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) {
            continue;  // a receive error (ptp4l not there yet, say) is not the thread's end
        }
        auto answer = decode_management(std::span(buffer).first(static_cast<std::size_t>(n)));
        if (!answer) {
            continue;
        }
        std::lock_guard lock(pending_mutex_);
        if (pending_ && pending_->sequence_id == answer->sequence_id) {
            pending_->answer.set_value(std::move(*answer));
            pending_.reset();
        }
    }
}

std::expected<PortDataSet, GptpError> PtpManagementClient::get_port_data_set(
    std::chrono::milliseconds timeout) {
    const std::uint16_t sequence_id = sequence_id_++;
    std::future<ManagementAnswer> answer;
    {
        std::lock_guard lock(pending_mutex_);
        pending_.emplace(Pending{sequence_id, {}});
        answer = pending_->answer.get_future();
    }
    const auto request = build_port_data_set_request(clock_identity_, sequence_id);
    if (::send(socket_.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        const std::string reason = std::strerror(errno);
        std::lock_guard lock(pending_mutex_);
        pending_.reset();
        return std::unexpected(GptpError{GptpError::Kind::SendFailed, reason});
    }
    if (answer.wait_for(timeout) != std::future_status::ready) {
        std::lock_guard lock(pending_mutex_);
        // The answer may have arrived between the wait and the lock; it is used then.
        if (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            pending_.reset();
            return std::unexpected(GptpError{GptpError::Kind::Timeout});
        }
    }
    const auto received = answer.get();
    if (const auto* error = std::get_if<ManagementErrorStatus>(&received.payload)) {
        return std::unexpected(
            GptpError{GptpError::Kind::ErrorStatus,
                      std::to_string(error->error_id) + " " + error->display_text});
    }
    if (const auto* port = std::get_if<PortDataSet>(&received.payload)) {
        return *port;
    }
    return std::unexpected(GptpError{GptpError::Kind::UnexpectedAnswer});
}

}  // namespace qz::ptp
