// Client of one ptp4l instance's management socket.
//
// A receiver thread decodes the answers and hands the one the main thread waits for to it; a
// late answer, or one with another sequence id, finds no waiting request and is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ptp_mng/gptp_error.h"
#include "ptp_mng/management_message.h"
#include "support/unique_fd.h"

namespace qz::ptp {

constexpr std::chrono::milliseconds kAnswerTimeout{5};

// The daemon's own end of the management exchange with a port's ptp4l, beside ptp4l's socket.
inline std::string client_socket_path(const std::string& directory,
                                      const std::string& interface_name, std::uint32_t pid) {
    return directory + "/qzel_avbd-ptp4l-" + interface_name + "." + std::to_string(pid);
}

class PtpManagementClient {
public:
    // Binds `local_path`, connects to `socket_path` and starts the receiver thread. The client's
    // clock identity is four zero bytes and the process id. ptp4l answers only to a socket with
    // a name in the file system (not to an autobound abstract one), so the client makes one and
    // removes it again when it goes.
    static std::expected<std::unique_ptr<PtpManagementClient>, std::string> open_client(
        const std::string& socket_path, const std::string& local_path, std::uint32_t process_id);

    PtpManagementClient(const PtpManagementClient&) = delete;
    PtpManagementClient& operator=(const PtpManagementClient&) = delete;
    ~PtpManagementClient();

    std::expected<PortDataSet, GptpError> get_port_data_set(
        std::chrono::milliseconds timeout = kAnswerTimeout);

    ClockIdentity clock_identity() const { return clock_identity_; }
    std::uint16_t next_sequence_id() const { return sequence_id_; }

private:
    PtpManagementClient(UniqueFd socket, std::string local_path, UniqueFd wake,
                        ClockIdentity identity);
    void receive_loop();

    struct Pending {
        std::uint16_t sequence_id;
        std::promise<ManagementAnswer> answer;
    };

    UniqueFd socket_;
    std::string local_path_;
    UniqueFd wake_;  // eventfd that ends the receiver thread
    ClockIdentity clock_identity_;
    std::uint16_t sequence_id_{0};
    std::mutex pending_mutex_;
    std::optional<Pending> pending_;
    std::thread receiver_;
};

}  // namespace qz::ptp
