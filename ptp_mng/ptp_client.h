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

// The management socket of a port's ptp4l.
inline std::string ptp4l_socket_path(const std::string& interface_name) {
    return "/var/run/ptp4l-" + interface_name;
}

class PtpManagementClient {
public:
    // Binds an automatically assigned abstract address, connects to `socket_path` and starts the
    // receiver thread. The client's clock identity is four zero bytes and the process id.
    static std::expected<std::unique_ptr<PtpManagementClient>, std::string> open_client(
        const std::string& socket_path, std::uint32_t process_id);

    PtpManagementClient(const PtpManagementClient&) = delete;
    PtpManagementClient& operator=(const PtpManagementClient&) = delete;
    ~PtpManagementClient();

    std::expected<PortDataSet, GptpError> get_port_data_set(
        std::chrono::milliseconds timeout = kAnswerTimeout);

    ClockIdentity clock_identity() const { return clock_identity_; }
    std::uint16_t next_sequence_id() const { return sequence_id_; }

private:
    PtpManagementClient(UniqueFd socket, UniqueFd wake, ClockIdentity identity);
    void receive_loop();

    struct Pending {
        std::uint16_t sequence_id;
        std::promise<ManagementAnswer> answer;
    };

    UniqueFd socket_;
    UniqueFd wake_;  // eventfd that ends the receiver thread
    ClockIdentity clock_identity_;
    std::uint16_t sequence_id_{0};
    std::mutex pending_mutex_;
    std::optional<Pending> pending_;
    std::thread receiver_;
};

}  // namespace qz::ptp
