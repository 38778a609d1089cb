#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "support/log.h"
#include "support/syslog_record.h"
#include "support/unique_fd.h"

namespace qz::log {
namespace {

TEST(SyslogRecord, WarnRecordOfTheMilanDaemonOnTheLocalSocket) {
    std::tm t{};
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 3;
    t.tm_sec = 7;
    EXPECT_EQ(format_record(Level::Warn, t, std::nullopt, "qzel_avbd", 123, "link lost"),
              "<28>Jan 05 09:03:07 qzel_avbd[123]: link lost");
}

TEST(SyslogRecord, HostNameFollowsTheTimestampWhenGiven) {
    std::tm t{};
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
    EXPECT_EQ(format_record(Level::Debug, t, "card", "brel_qzeld", 7, "x"),
              "<31>Dec 31 23:59:58 card brel_qzeld[7]: x");
}

TEST(SyslogRecord, PriorityIsDaemonFacilityPlusSeverity) {
    EXPECT_EQ(priority(Level::Error), 27);
    EXPECT_EQ(priority(Level::Warn), 28);
    EXPECT_EQ(priority(Level::Info), 30);
    EXPECT_EQ(priority(Level::Debug), 31);
}

// A datagram socket the logger can be pointed at.
class Listener {
public:
    Listener(int family, int type) : fd_(::socket(family, type | SOCK_CLOEXEC, 0)) {
        timeval timeout{2, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    int fd() const { return fd_.get(); }
    std::string receive() {
        char buffer[2048];
        const auto n = ::recv(fd_.get(), buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    UniqueFd fd_;
};

std::string temp_socket_path(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + std::to_string(::getpid())))
        .string();
}

TEST(Logging, LocalSocketGetsOneDatagramPerRecordWithoutHostName) {
    Listener listener(AF_UNIX, SOCK_DGRAM);
    const auto path = temp_socket_path("qz-log-");
    ::unlink(path.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    SyslogConfig config{.program_name = "qzel_avbd"};
    config.unix_paths = {"/nonexistent/log", path};
    ASSERT_TRUE(init_logging(config));

    warn("qzel_avbd", "value {}", 42);
    trace("qzel_avbd", "never sent");
    debug("qzel_avbd", "last");

    const std::regex expected("<28>[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} qzel_avbd\\[" +
                              std::to_string(::getpid()) + "\\]: value 42");
    EXPECT_TRUE(std::regex_match(listener.receive(), expected));
    // The trace call produced nothing: the next record is the debug one.
    EXPECT_NE(listener.receive().find("qzel_avbd["), std::string::npos);
    ::unlink(path.c_str());
}

TEST(Logging, FallsBackToUdpWithHostNameWhenNoLocalSocketOrTcpListener) {
    Listener listener(AF_INET, SOCK_DGRAM);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length);

    // A TCP port nobody listens on: the UDP port just bound is free for TCP too only by chance,
    // so take the TCP port from a closed listening socket instead.
    UniqueFd probe{::socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&tcp), sizeof(tcp)), 0);
    socklen_t tcp_length = sizeof(tcp);
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&tcp), &tcp_length);
    probe.reset();

    SyslogConfig config{.program_name = "brel_qzeld"};
    config.unix_paths = {"/nonexistent/log"};
    config.tcp_port = ntohs(tcp.sin_port);
    config.udp_port = ntohs(address.sin_port);
    ASSERT_TRUE(init_logging(config));

    error("brel_qzeld", "over udp");
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    const auto record = listener.receive();
    EXPECT_EQ(record.rfind("<27>", 0), 0U) << record;
    EXPECT_NE(record.find(std::string(" ") + host + " brel_qzeld[" + std::to_string(::getpid()) +
                          "]: over udp"),
              std::string::npos)
        << record;
}

TEST(Logging, UnreachableSyslogNeverBlocks) {
    // Nobody listens on the UDP port either: every record is dropped, the call returns.
    SyslogConfig config{.program_name = "qzel_avbd"};
    config.unix_paths = {};
    config.tcp_port = 1;
    config.udp_port = 9;
    ASSERT_TRUE(init_logging(config));
    for (int i = 0; i < 10000; ++i) {
        info("qzel_avbd", "record {}", i);
    }
    SUCCEED();
}

}  // namespace
}  // namespace qz::log
