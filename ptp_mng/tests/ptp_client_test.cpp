#include "ptp_mng/ptp_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "ptp_mng/byte_reader.h"
#include "ptp_mng/tests/ptp_frames.h"

namespace qz::ptp {
namespace {

// Stands in for ptp4l: answers each request through `reply` (nothing when it returns empty).
class FakePtp4l {
public:
    using Reply = std::function<std::vector<std::uint8_t>(std::uint16_t sequence_id)>;

    explicit FakePtp4l(Reply reply)
        : path_(
              (std::filesystem::temp_directory_path() / ("qz-ptp4l-" + std::to_string(::getpid())))
                  .string()),
          fd_(::socket(AF_UNIX, SOCK_DGRAM, 0)),
          reply_(std::move(reply)) {
        ::unlink(path_.c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        timeval timeout{0, 20'000};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        thread_ = std::thread([this] { serve(); });
    }
    ~FakePtp4l() {
        stop_ = true;
        thread_.join();
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::vector<std::uint8_t> last_request;

private:
    void serve() {
        while (!stop_) {
            std::uint8_t buffer[256];
            sockaddr_un from{};
            socklen_t length = sizeof(from);
            const auto n = ::recvfrom(fd_.get(), buffer, sizeof(buffer), 0,
                                      reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) {
                continue;
            }
            last_request.assign(buffer, buffer + n);
            const auto answer = reply_(read_u16(last_request, 30));
            if (!answer.empty()) {
                ::sendto(fd_.get(), answer.data(), answer.size(), 0,
                         reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }

    std::string path_;
    UniqueFd fd_;
    Reply reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(PtpManagementClient, AsksForThePortDataSetAndCountsSequenceIds) {
    FakePtp4l ptp4l([](std::uint16_t seq) { return testing::port_data_set_answer(seq, 6, 0); });
    auto client = PtpManagementClient::open_client(ptp4l.path(), ptp4l.path() + ".client", 0x1234);
    ASSERT_TRUE(client) << client.error();
    for (int i = 0; i < 3; ++i) {
        // Generous here: the test is about the exchange, not about the machine's speed.
        const auto set = (*client)->get_port_data_set(std::chrono::milliseconds(500));
        ASSERT_TRUE(set) << set.error().text();
        EXPECT_EQ(set->port_state, 6);
    }
    EXPECT_EQ((*client)->next_sequence_id(), 3);
    EXPECT_EQ(read_u16(ptp4l.last_request, 30), 2);
    EXPECT_EQ(read_u64(ptp4l.last_request, 20), 0x1234U);  // 4 zero bytes, then the pid
}

TEST(PtpManagementClient, FailedExchangesAreErrors) {
    using Kind = GptpError::Kind;
    const std::vector<std::pair<FakePtp4l::Reply, Kind>> cases{
        {[](std::uint16_t seq) { return testing::port_data_set_answer(seq + 1, 9, 0); },
         Kind::Timeout},
        {[](std::uint16_t) { return std::vector<std::uint8_t>{}; }, Kind::Timeout},
        {[](std::uint16_t seq) {
             return testing::management_answer(seq, 0x0002, {0, 1, 0x20, 0x04, 0, 0, 0, 0});
         },
         Kind::ErrorStatus},
        {[](std::uint16_t seq) {
             std::vector<std::uint8_t> current(20, 0);
             current[0] = 0x20, current[1] = 0x01;
             return testing::management_answer(seq, 0x0001, current);
         },
         Kind::UnexpectedAnswer},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        FakePtp4l ptp4l(cases[i].first);
        auto client = PtpManagementClient::open_client(ptp4l.path(), ptp4l.path() + ".client", 1);
        ASSERT_TRUE(client);
        const auto set = (*client)->get_port_data_set(std::chrono::milliseconds(50));
        ASSERT_FALSE(set) << "case " << i;
        EXPECT_EQ(set.error().kind, cases[i].second) << "case " << i;
    }
}

TEST(PtpManagementClient, OpeningFailsWithoutPtp4l) {
    EXPECT_FALSE(PtpManagementClient::open_client("/nonexistent/ptp4l-eth0", "/nonexistent/me", 1));
}

}  // namespace
}  // namespace qz::ptp
