#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "packet/acmp.h"
#include "packet/adp.h"
#include "packet/aecp.h"
#include "strimo/avdecc/avdecc_entity.h"
#include "strimo/stack.h"
#include "support/log.h"

namespace qz::strimo::avdecc {
namespace {

using namespace packet;
using Frame = std::vector<std::uint8_t>;

constexpr std::uint64_t kEntityId = 0x001122FFFE334455;
constexpr std::uint64_t kController = 0xC0FFEE;
constexpr Bytes6 kControllerMac{0x02, 0, 0, 0, 0, 0x01};
constexpr std::uint64_t kImageStart = 0x4C4F474F;

struct CapturingSender final : net::FrameSender {
    void send(std::size_t port, std::span<const std::uint8_t> frame) override {
        sent.push_back({port, Frame(frame.begin(), frame.end())});
    }
    std::vector<std::pair<std::size_t, Frame>> sent;
};

// Memory object 0 holds `image`; memory object 1 refuses every access with a reason.
struct FakeHooks final : DeviceHooks {
    std::expected<RebootAction, DeviceErrorKind> prepare_reboot() override { return nope(); }
    std::expected<RebootAction, DeviceErrorKind> prepare_reboot_into_memory_object(
        std::uint16_t) override {
        return nope();
    }
    HookResult set_stream_output_destination(std::uint16_t, const net::MacAddress&) override {
        return nope();
    }
    HookResult enable_stream_output(std::uint16_t) override { return nope(); }
    HookResult disable_stream_output(std::uint16_t) override { return nope(); }
    HookResult enable_stream_input(std::uint16_t, const net::MacAddress&, std::uint16_t) override {
        return nope();
    }
    HookResult disable_stream_input(std::uint16_t) override { return nope(); }
    HookResult set_sampling_rate(std::uint32_t) override { return nope(); }
    HookResult set_clock_source(std::uint16_t) override { return nope(); }
    HookResult set_stream_output_format(std::uint16_t, std::uint64_t) override { return nope(); }
    HookResult set_stream_input_format(std::uint16_t, std::uint64_t) override { return nope(); }
    HookResult set_presentation_time_offset(std::uint16_t, std::uint32_t) override {
        return nope();
    }
    HookResult apply_input_audio_map(const std::vector<entity::AudioMapping>&) override {
        return nope();
    }
    HookResult apply_output_audio_map(const std::vector<entity::AudioMapping>&) override {
        return nope();
    }
    HookResult set_control(std::uint16_t, const entity::ControlValues&) override { return nope(); }
    std::expected<std::string, DeviceErrorKind> set_entity_name(std::string) override {
        return nope();
    }
    HookResult store_memory_object(std::uint16_t, std::uint8_t) override { return nope(); }
    HookResult read_memory_object(std::uint16_t) override { return nope(); }
    HookResult upload_memory_object(std::uint16_t, std::uint64_t, std::uint64_t) override {
        return nope();
    }
    std::expected<void, MemoryRefusal> memory_read(std::uint16_t index, std::uint64_t offset,
                                                   std::span<std::uint8_t> out) override {
        reads.push_back({index, offset});
        if (index != 0) {
            return std::unexpected(MemoryRefusal{DeviceErrorKind::NotSupported});
        }
        if (offset + out.size() > image.size()) {
            return std::unexpected(MemoryRefusal{});
        }
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return {};
    }
    std::expected<void, MemoryRefusal> memory_write(std::uint16_t index, std::uint64_t,
                                                    std::span<const std::uint8_t>) override {
        writes.push_back(index);
        return std::unexpected(MemoryRefusal{DeviceErrorKind::NotSupported});
    }
    HookResult set_memory_object_name(std::uint16_t, std::uint16_t, std::string_view) override {
        return nope();
    }
    std::expected<std::string, DeviceErrorKind> get_memory_object_name(std::uint16_t,
                                                                       std::uint16_t) override {
        return nope();
    }
    void entity_model_changed(const entity::Entity&) override {}

    static std::unexpected<DeviceErrorKind> nope() {
        return std::unexpected(DeviceErrorKind::NotSupported);
    }
    Frame image{10, 11, 12, 13, 14, 15, 16, 17};
    std::vector<std::pair<std::uint16_t, std::uint64_t>> reads;
    std::vector<std::uint16_t> writes;
};

entity::Entity test_entity(bool milan = true) {
    entity::Entity e;
    e.entity_id = kEntityId;
    if (milan) {
        e.milan_info = entity::MilanInfo{entity::FeaturesFlags{3}, 0x01010000};
    }
    entity::Configuration c;
    entity::MemoryObject image;
    image.start_address = kImageStart;
    image.length = 8;
    image.maximum_length = 16;  // reads follow the current length, not the maximum
    entity::MemoryObject other;
    other.start_address = 0x1000;
    other.length = 4;
    c.memory_objects = {image, other};
    e.configurations = {c};
    return e;
}

// An AVTP control frame with the given subtype, message type and control_data_length, long
// enough for that length unless `size` says otherwise.
Frame avtp(std::uint8_t subtype, std::uint8_t message_type, std::uint16_t length,
           std::size_t size = 0, Bytes6 destination = kAvdeccMulticast) {
    Frame frame(size != 0 ? size : kControlDataOffset + length, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, destination);
    (void)set(out, eth::kSource, kControllerMac);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, subtype);
    (void)set(out, avtp::kMessageType, std::uint16_t{message_type});
    (void)set(out, avtp::kControlDataLength, length);
    return frame;
}

Frame aecp_command(aecp::MessageType type, std::uint16_t length, std::uint64_t target = kEntityId,
                   std::size_t size = 0) {
    auto frame = avtp(kSubtypeByteAecp, static_cast<std::uint8_t>(type), length, size);
    std::span<std::uint8_t> out(frame);
    (void)set(out, aecp::kTargetEntityId, target);
    (void)set(out, aecp::kControllerEntityId, kController);
    (void)set(out, aecp::kSequenceId, std::uint16_t{0x1234});
    return frame;
}

Frame vendor_unique(std::uint16_t command, std::uint16_t length,
                    Bytes6 protocol = milan::kProtocolId, std::size_t size = 0) {
    auto frame = aecp_command(aecp::MessageType::VENDOR_UNIQUE_COMMAND, length, kEntityId, size);
    std::span<std::uint8_t> out(frame);
    (void)set(out, milan::kProtocolIdField, protocol);
    (void)set(out, milan::kCommandType, command);
    return frame;
}

class ReceiveTest : public ::testing::Test {
protected:
    explicit ReceiveTest(bool milan = true)
        : entity_(entity::EntityModel(test_entity(milan)), hooks_, sender_, random_) {}

    std::expected<Received, Error> receive(const Frame& frame, std::size_t port = 0) {
        return entity_.receive(port, frame, Instant{});
    }
    std::span<const std::uint8_t> only_response() {
        EXPECT_EQ(sender_.sent.size(), 1U);
        return sender_.sent.empty() ? std::span<const std::uint8_t>{}
                                    : std::span<const std::uint8_t>(sender_.sent.back().second);
    }

    FakeHooks hooks_;
    CapturingSender sender_;
    SeededRandom random_{1};
    AvdeccEntity entity_;
};

TEST_F(ReceiveTest, AdpRules) {
    auto discover = [](std::uint64_t id, Bytes6 destination = kAvdeccMulticast) {
        auto f = avtp(kSubtypeByteAdp, 2, 56, 0, destination);
        (void)set(std::span<std::uint8_t>(f), packet::adp::kEntityId, id);
        return f;
    };
    EXPECT_EQ(receive(discover(0)).value(), Received::AdpAdvertiseRequested);
    EXPECT_TRUE(entity_.take_advertise_request(0));
    EXPECT_FALSE(entity_.take_advertise_request(0));  // taken once
    EXPECT_EQ(receive(discover(kEntityId), 1).value(), Received::AdpAdvertiseRequested);
    EXPECT_FALSE(entity_.take_advertise_request(0));
    EXPECT_TRUE(entity_.take_advertise_request(1));
    EXPECT_EQ(receive(discover(kEntityId + 1)).value(), Received::AdpDiscoverOther);
    EXPECT_FALSE(entity_.take_advertise_request(0));

    EXPECT_EQ(receive(discover(0, kControllerMac)).error().kind, ErrorKind::PacketInvalid);
    EXPECT_FALSE(entity_.take_advertise_request(0));
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 0, 56)).value(), Received::AdpEntityAvailable);
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 1, 56)).value(), Received::AdpEntityDeparting);
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 3, 56)).error().kind, ErrorKind::PacketInvalid);
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 2, 55, 82)).value(), Received::Ignored);
    // control_data_length says 56 but the frame stops early.
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 2, 56, 60)).error().kind, ErrorKind::PacketInvalid);
    EXPECT_EQ(receive(avtp(kSubtypeByteAdp, 2, 56, 12)).value(), Received::Ignored);
    EXPECT_TRUE(sender_.sent.empty());
}

TEST_F(ReceiveTest, AecpClassificationWithoutAnswers) {
    using MT = aecp::MessageType;
    auto controller_available = aecp_command(MT::AEM_RESPONSE, 12);
    (void)set(std::span<std::uint8_t>(controller_available), aem::kCommandType,
              aem::to_u16(aem::CommandType::CONTROLLER_AVAILABLE));
    struct Case {
        const char* what;
        Frame frame;
        std::optional<Received> expected;  // nullopt: PacketInvalid
    };
    const Case cases[] = {
        {"35 bytes", aecp_command(MT::AEM_COMMAND, 12, kEntityId, 35), Received::Ignored},
        {"length 9", aecp_command(MT::AEM_COMMAND, 9, kEntityId, 60), Received::Ignored},
        {"a response", aecp_command(MT::AEM_RESPONSE, 12), Received::AecpResponseIgnored},
        {"controller available", controller_available, Received::AecpControllerAvailable},
        {"other target", aecp_command(MT::AEM_COMMAND, 12, kEntityId + 1),
         Received::AecpNotForThisEntity},
        {"AEM length 11", aecp_command(MT::AEM_COMMAND, 11, kEntityId, 60), std::nullopt},
        {"AEM 37 bytes", aecp_command(MT::AEM_COMMAND, 12, kEntityId, 37), std::nullopt},
        {"AVC", aecp_command(MT::AVC_COMMAND, 12), Received::AvcLogged},
        {"EXTENDED", aecp_command(MT::EXTENDED_COMMAND, 12), Received::ExtendedLogged},
        {"reserved type 8", aecp_command(static_cast<MT>(8), 12), Received::Ignored},
        {"VU 41 bytes", vendor_unique(0, 16, milan::kProtocolId, 41), std::nullopt},
        {"VU length 15", vendor_unique(0, 15, milan::kProtocolId, 60), std::nullopt},
        {"VU other protocol", vendor_unique(0, 20, Bytes6{0x00, 0x1B, 0xC5, 0x0A, 0xC1, 0x01}),
         Received::VendorUniqueOtherProtocol},
        {"GET_MILAN_INFO length 19", vendor_unique(0, 19), std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = receive(c.frame);
        if (c.expected) {
            ASSERT_TRUE(got) << c.what << ": " << got.error().text();
            EXPECT_EQ(*got, *c.expected) << c.what;
        } else {
            ASSERT_FALSE(got) << c.what;
            EXPECT_EQ(got.error().kind, ErrorKind::PacketInvalid) << c.what;
        }
        EXPECT_TRUE(sender_.sent.empty()) << c.what << " was answered";
    }
}

TEST_F(ReceiveTest, GetMilanInfoIsAnswered) {
    auto command = vendor_unique(milan::kGetMilanInfo, 20, milan::kProtocolId, 60);  // padded
    EXPECT_EQ(receive(command, 1).value(), Received::MilanInfoAnswered);
    ASSERT_EQ(sender_.sent.size(), 1U);
    EXPECT_EQ(sender_.sent[0].first, 1U);  // answered on the port it came in on
    const auto r = only_response();
    ASSERT_EQ(r.size(), 58U);
    EXPECT_EQ(get(r, eth::kDestination).value(), kControllerMac);
    EXPECT_EQ(get(r, avtp::kMessageType).value(), 7);
    EXPECT_EQ(get(r, avtp::kStatus).value(), 0);
    EXPECT_EQ(get(r, avtp::kControlDataLength).value(), 32);
    EXPECT_EQ(get(r, aecp::kSequenceId).value(), 0x1234);
    EXPECT_EQ(get(r, aecp::kControllerEntityId).value(), kController);
    EXPECT_EQ(get(r, milan::kProtocolIdField).value(), milan::kProtocolId);
    EXPECT_EQ(get(r, milan::kProtocolVersionField).value(), 1U);
    EXPECT_EQ(get(r, milan::kFeaturesFlags).value(), 3U);
    EXPECT_EQ(get(r, milan::kCertificationVersion).value(), 0x01010000U);
}

TEST_F(ReceiveTest, OtherVendorUniqueCommandsAreNotImplemented) {
    auto command = vendor_unique(0x0001, 20, milan::kProtocolId, 64);
    EXPECT_EQ(receive(command).value(), Received::VendorUniqueNotImplemented);
    const auto r = only_response();
    EXPECT_EQ(r.size(), 46U);  // the command's own control data, without the padding
    EXPECT_EQ(get(r, avtp::kMessageType).value(), 7);
    EXPECT_EQ(get(r, avtp::kStatus).value(), 1);
    EXPECT_EQ(get(r, milan::kCommandType).value(), 1);
    // A length that claims more than the frame holds is not echoed beyond the frame.
    sender_.sent.clear();
    EXPECT_EQ(receive(vendor_unique(0x0002, 2000, milan::kProtocolId, 50)).value(),
              Received::VendorUniqueNotImplemented);
    EXPECT_EQ(only_response().size(), 50U);
}

class ReceiveWithoutMilanInfo : public ReceiveTest {
protected:
    ReceiveWithoutMilanInfo() : ReceiveTest(false) {}
};

TEST_F(ReceiveWithoutMilanInfo, GetMilanInfoIsNotImplemented) {
    EXPECT_EQ(receive(vendor_unique(milan::kGetMilanInfo, 20)).value(),
              Received::VendorUniqueNotImplemented);
    EXPECT_EQ(get(only_response(), avtp::kStatus).value(), 1);
}

struct TlvSpec {
    std::uint8_t mode;
    std::uint64_t address;
    std::uint16_t length;
};

Frame address_access(const std::vector<TlvSpec>& tlvs) {
    std::size_t size = aa::kTlvsOffset;
    for (const auto& t : tlvs) {
        size += aa::kTlvHeaderSize + t.length;
    }
    auto frame = aecp_command(aecp::MessageType::ADDRESS_ACCESS_COMMAND,
                              static_cast<std::uint16_t>(size - kControlDataOffset));
    std::span<std::uint8_t> out(frame);
    (void)set(out, aa::kTlvCount, static_cast<std::uint16_t>(tlvs.size()));
    std::size_t offset = aa::kTlvsOffset;
    for (const auto& t : tlvs) {
        (void)set(out, Field<std::uint16_t>{offset},
                  static_cast<std::uint16_t>((t.mode << 12) | t.length));
        (void)set(out, Field<std::uint64_t>{offset + 2}, t.address);
        offset += aa::kTlvHeaderSize + t.length;
    }
    return frame;
}

TEST_F(ReceiveTest, AddressAccessWalksTheMemoryObjects) {
    struct Case {
        const char* what;
        std::vector<TlvSpec> tlvs;
        aa::Status status;
    };
    const Case cases[] = {
        {"read inside", {{0, kImageStart + 2, 4}}, aa::Status::SUCCESS},
        {"read at start + length", {{0, kImageStart + 8, 1}}, aa::Status::ADDRESS_INVALID},
        {"read below every object", {{0, 0x10, 1}}, aa::Status::ADDRESS_INVALID},
        {"second TLV outside",
         {{0, kImageStart, 2}, {0, 0xFFFFFFFFFFFFFFFF, 1}},
         aa::Status::ADDRESS_INVALID},
        {"read past the content", {{0, kImageStart + 6, 4}}, aa::Status::ADDRESS_INVALID},
        {"refused with a reason", {{0, 0x1002, 2}}, aa::Status::UNSUPPORTED},
        {"write refused with a reason", {{1, kImageStart, 2}}, aa::Status::UNSUPPORTED},
        {"mode 2", {{2, kImageStart, 2}}, aa::Status::NOT_IMPLEMENTED},
        {"no TLVs", {}, aa::Status::SUCCESS},
    };
    for (const auto& c : cases) {
        sender_.sent.clear();
        const auto command = address_access(c.tlvs);
        ASSERT_EQ(receive(command).value(), Received::AddressAccessAnswered) << c.what;
        const auto r = only_response();
        ASSERT_EQ(r.size(), command.size()) << c.what;
        EXPECT_EQ(get(r, avtp::kMessageType).value(), 3) << c.what;
        EXPECT_EQ(get(r, avtp::kStatus).value(), static_cast<std::uint16_t>(c.status)) << c.what;
        EXPECT_EQ(get(r, eth::kDestination).value(), kControllerMac) << c.what;
    }
    // The data of a successful read, and of the TLVs before a failing one, are filled in.
    sender_.sent.clear();
    receive(address_access({{0, kImageStart + 2, 4}}));
    auto r = only_response();
    EXPECT_EQ(Frame(r.begin() + 48, r.begin() + 52), (Frame{12, 13, 14, 15}));
    sender_.sent.clear();
    receive(address_access({{0, kImageStart, 2}, {0, 5, 1}}));
    r = only_response();
    EXPECT_EQ(Frame(r.begin() + 48, r.begin() + 50), (Frame{10, 11}));
    EXPECT_EQ(hooks_.reads.back(), (std::pair<std::uint16_t, std::uint64_t>{0, 0}));
}

TEST_F(ReceiveTest, DefectiveTlvListIsRejectedUnanswered) {
    auto command = address_access({{0, kImageStart, 4}});
    command.resize(command.size() - 1);  // memory_data cut short
    EXPECT_EQ(receive(command).error().kind, ErrorKind::PacketInvalid);
    auto count = address_access({{0, kImageStart, 4}});
    count[37] = 2;  // a second TLV that is not there
    EXPECT_EQ(receive(count).error().kind, ErrorKind::PacketInvalid);
    EXPECT_TRUE(sender_.sent.empty());
    EXPECT_TRUE(hooks_.reads.empty());
}

TEST_F(ReceiveTest, AcmpRoutesByRole) {
    auto acmp_frame = [](acmp::MessageType type, std::uint64_t talker, std::uint64_t listener,
                         Bytes6 destination = kAvdeccMulticast) {
        auto f = avtp(kSubtypeByteAcmp, static_cast<std::uint8_t>(type), 44, 0, destination);
        (void)set(std::span<std::uint8_t>(f), acmp::kTalkerEntityId, talker);
        (void)set(std::span<std::uint8_t>(f), acmp::kListenerEntityId, listener);
        return f;
    };
    using AT = acmp::MessageType;
    EXPECT_EQ(receive(acmp_frame(AT::CONNECT_RX_COMMAND, 1, kEntityId)).value(),
              Received::AcmpListener);
    EXPECT_EQ(receive(acmp_frame(AT::CONNECT_TX_RESPONSE, 1, kEntityId)).value(),
              Received::AcmpListener);
    EXPECT_EQ(receive(acmp_frame(AT::CONNECT_RX_COMMAND, kEntityId, 1)).value(),
              Received::AcmpNotForThisEntity);
    EXPECT_EQ(receive(acmp_frame(AT::GET_TX_CONNECTION_COMMAND, kEntityId, 1)).value(),
              Received::AcmpTalker);
    EXPECT_EQ(receive(acmp_frame(AT::CONNECT_TX_COMMAND, 1, kEntityId)).value(),
              Received::AcmpNotForThisEntity);
    EXPECT_EQ(receive(acmp_frame(AT::CONNECT_RX_RESPONSE, kEntityId, kEntityId)).value(),
              Received::AcmpResponseIgnored);
    EXPECT_EQ(
        receive(acmp_frame(AT::CONNECT_RX_COMMAND, 1, kEntityId, kControllerMac)).error().kind,
        ErrorKind::PacketInvalid);
    EXPECT_EQ(receive(avtp(kSubtypeByteAcmp, 6, 43, 70)).value(), Received::Ignored);
    EXPECT_TRUE(sender_.sent.empty());
}

// Receives what the logger writes, through a datagram socket standing in for the system log.
class LogCapture {
public:
    LogCapture()
        : path_((std::filesystem::temp_directory_path() /
                 ("qz_log_" + std::to_string(::getpid()) + ".sock"))
                    .string()) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        ::unlink(path_.c_str());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        log::SyslogConfig config{.program_name = "receive_test"};
        config.unix_paths = {path_};
        bound_ = bound_ && log::init_logging(config).has_value();
    }
    ~LogCapture() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool ready() const { return bound_; }
    std::string drain() {
        std::string all;
        char buffer[2048];
        ssize_t n = 0;
        while ((n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
            all.append(buffer, static_cast<std::size_t>(n));
            all += '\n';
        }
        return all;
    }

private:
    std::string path_;
    int fd_{-1};
    bool bound_{false};
};

TEST_F(ReceiveTest, AvcAndExtendedCommandsAreLoggedWithTheirTexts) {
    LogCapture capture;
    ASSERT_TRUE(capture.ready());
    capture.drain();
    EXPECT_EQ(receive(aecp_command(aecp::MessageType::AVC_COMMAND, 12)).value(),
              Received::AvcLogged);
    EXPECT_NE(capture.drain().find("Got AVC command, but not implemented yet!"), std::string::npos);
    EXPECT_EQ(receive(aecp_command(aecp::MessageType::EXTENDED_COMMAND, 12)).value(),
              Received::ExtendedLogged);
    EXPECT_NE(capture.drain().find("Got EXTENDED command, but not implemented yet!"),
              std::string::npos);
    EXPECT_TRUE(sender_.sent.empty());
}

TEST(StackAvdecc, FramesReachTheEntityOnceAttachedAndAreCounted) {
    CapturingSender sender;
    FakeHooks hooks;
    SeededRandom random(1);
    Stack stack(sender, random,
                {net::MacAddress{2, 0, 0, 0, 0, 0xA}, net::MacAddress{2, 0, 0, 0, 0, 0xB}},
                Instant{});
    const auto command = vendor_unique(milan::kGetMilanInfo, 20);
    stack.frame_entry(0, command, Instant{});
    EXPECT_TRUE(sender.sent.empty());
    stack.attach_entity(test_entity(), hooks);
    stack.frame_entry(1, command, Instant{});
    stack.frame_entry(1, avtp(kSubtypeByteAdp, 2, 56, 0, kControllerMac), Instant{});  // invalid
    ASSERT_EQ(sender.sent.size(), 1U);
    EXPECT_EQ(sender.sent[0].first, 1U);
    EXPECT_EQ(stack.counters(0).aecp, 1U);
    EXPECT_EQ(stack.counters(1).aecp, 1U);
    EXPECT_EQ(stack.counters(1).adp, 1U);
    EXPECT_EQ(stack.counters(1).received, 2U);
}

}  // namespace
}  // namespace qz::strimo::avdecc
