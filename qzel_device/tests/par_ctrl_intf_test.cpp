#include "qzel_device/par_ctrl_intf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qzel_device/avb/regs.h"
#include "qzel_device/dante/regs.h"
#include "qzel_device/reports.h"
#include "qzel_device/ssh_key.h"
#include "sim/fpga.h"
#include "sim/sleeper.h"

namespace qz::device {
namespace {

TEST(ControlWord, ParityAndTypeChecks) {
    struct Case {
        std::uint32_t raw;
        bool ok;
        DecodeFault fault;
    };
    for (const Case& c : {
             Case{0x00000000, false, DecodeFault::InvalidType},  // even parity, type 0
             Case{0x80000000, false, DecodeFault::Parity},
             Case{encode(MessageType::SamplingRate, 0, 0, Op::Get), true, {}},
             Case{encode(ControlWord{16, 1, 2, 1}), true, {}},
             Case{encode(ControlWord{17, 1, 2, 1}), false, DecodeFault::InvalidType},
             Case{encode(ControlWord{18, 0, 0, 0}), false, DecodeFault::InvalidType},
             Case{encode(ControlWord{19, 0, 0, 0}), true, {}},
             Case{encode(ControlWord{21, 0, 0, 0}), false, DecodeFault::InvalidType},
             Case{encode(ControlWord{31, 0, 0, 0}), false, DecodeFault::InvalidType},
             Case{encode(ControlWord{16, 2, 0xBEEF, 1}) ^ 0x10, false, DecodeFault::Parity},
         }) {
        SCOPED_TRACE(c.raw);
        auto word = decode(c.raw);
        ASSERT_EQ(word.has_value(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(word.error().fault, c.fault);
        }
    }
    const ControlWord word{20, 0xAB, 0xCDEF, 3};
    const std::uint32_t raw = encode(word);
    EXPECT_TRUE(even_parity(raw));
    EXPECT_EQ(raw & 0x7FFFFFFF, 0xCDEFu | (0xABu << 16) | (20u << 24) | (3u << 29));
    EXPECT_EQ(*decode(raw), word);
}

class AvbLinkTest : public ::testing::Test {
protected:
    AvbLinkTest()
        : fpga(sim::MilanFpga::create()),
          sleeper(clock),
          link(std::make_unique<AvbLinkPort>(RegisterWindow(fpga->core(), avb::kCoreBase),
                                             sleeper)) {}
    std::uint8_t bank() { return static_cast<AvbLinkPort&>(link.port()).tx_bank(); }

    std::shared_ptr<sim::MilanFpga> fpga;
    FakeClock clock;
    sim::FakeSleeper sleeper;
    ParCtrlIntf link;
};

TEST_F(AvbLinkTest, ReceiveDecodesAndDropsBadWords) {
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Empty);
    fpga->host_send(encode(MessageType::SamplingRate, 0, 0, Op::Get));
    fpga->host_send(0x80000000);
    fpga->host_send(0x00000000);
    auto first = link.receive();
    ASSERT_EQ(first->status, ReceiveStatus::Word);
    EXPECT_EQ(first->word, (ControlWord{1, 0, 0, 0}));
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Dropped);
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Dropped);
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Empty);
}

TEST_F(AvbLinkTest, BankHandshakeTimeoutAndRelearning) {
    ASSERT_TRUE(link.send_word(MessageType::SamplingRate, 1, 2));  // learns bank 0
    ASSERT_TRUE(link.send_word(MessageType::Clock, 1, 0));         // waits for bank 1
    auto bursts = fpga->host_take();
    ASSERT_EQ(bursts.size(), 2u);
    EXPECT_EQ(bursts[0].bank, 0);
    EXPECT_EQ(bursts[0].words,
              std::vector<std::uint32_t>{encode(MessageType::SamplingRate, 1, 2, Op::Notif)});
    EXPECT_EQ(bursts[1].bank, 1);
    EXPECT_EQ(fpga->written(avb::kTxAnnounce), 4u << 8);
    EXPECT_EQ(fpga->link_protocol_errors(), 0);

    fpga->set_tx_stalled(true);
    ASSERT_TRUE(link.send_word(MessageType::Clock, 1, 1));  // bank flips to 0: still free
    const int sleeps_before = sleeper.calls();
    auto timed_out = link.send_word(MessageType::Clock, 1, 2);
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(timed_out.error().kind, ErrorKind::ParallelInterfaceTimeout);
    EXPECT_EQ(timed_out.error().text(), "Operation on parallel interface timed out");
    EXPECT_EQ(sleeper.calls() - sleeps_before, 11);  // 1 ms before, 10 polls
    EXPECT_EQ(bank(), 2);
    // The next send relearns the bank from the hardware instead of waiting for a change.
    ASSERT_TRUE(link.send_word(MessageType::Clock, 1, 3));
    EXPECT_EQ(fpga->host_take().size(), 2u);
    EXPECT_EQ(fpga->link_protocol_errors(), 0);
}

TEST_F(AvbLinkTest, ClockStatesOfAllSubRegistersGoInBurstsOfTwelve) {
    avb::CardStatus status;
    status.inputs[0] = RateLock{2, 1};
    status.streams[1][63] = RateLock{4, 1};
    ASSERT_TRUE(send_clock_states(link, 1, kAvbClockStateCount,
                                  [&](std::uint8_t sub) { return avb_clock_state(status, sub); }));
    auto bursts = fpga->host_take();
    ASSERT_EQ(bursts.size(), 2u);
    ASSERT_EQ(bursts[0].words.size(), 12u);
    ASSERT_EQ(bursts[1].words.size(), 12u);
    EXPECT_EQ(decode(bursts[0].words[0])->index, 1);
    EXPECT_EQ(decode(bursts[0].words[0])->value, 0x12 | (0xF << 5) | (0xF << 10));
    const auto last = *decode(bursts[1].words[11]);
    EXPECT_EQ(last.index, 24);
    EXPECT_EQ(last.op, 3);
    EXPECT_EQ(last.value, 0xF | (0xF << 5) | (0x14 << 10));  // slot 63 of the secondary port
    EXPECT_FALSE(avb_clock_state(status, 25));
    EXPECT_EQ(avb_clock_state(status, 0).error(), "Invalid sub-register index for AVB Clock State");
}

class DanteLinkTest : public ::testing::Test {
protected:
    DanteLinkTest()
        : fpga(sim::DanteFpga::create()),
          sleeper(clock),
          link(std::make_unique<DanteLinkPort>(RegisterWindow(fpga->link(), dante::kLinkBase),
                                               sleeper)) {}
    std::shared_ptr<sim::DanteFpga> fpga;
    FakeClock clock;
    sim::FakeSleeper sleeper;
    ParCtrlIntf link;
};

TEST_F(DanteLinkTest, ReceiveAndSend) {
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Empty);
    fpga->host_send(encode(MessageType::Clock, 1, 3, Op::Set));
    fpga->host_send(encode(MessageType::Clock, 1, 3, Op::Set) ^ 0x1);
    fpga->host_send(encode(ControlWord{21, 0, 0, 0}));
    EXPECT_EQ(link.receive()->word, (ControlWord{2, 1, 3, 1}));
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Dropped);
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Dropped);
    EXPECT_EQ(link.receive()->status, ReceiveStatus::Empty);
    std::vector<ReportItem> items;
    for (std::uint8_t i = 1; i <= 31; ++i) {
        items.push_back(ReportItem{i, i});
    }
    ASSERT_TRUE(link.send_words(MessageType::IpConfig, items));
    auto bursts = fpga->host_take();
    ASSERT_EQ(bursts.size(), 1u);
    EXPECT_EQ(bursts[0].words.size(), 31u);
    EXPECT_EQ(fpga->tx_resets(), 0);
}

TEST_F(DanteLinkTest, FifoResetAndTimeouts) {
    struct Case {
        bool completes;
        bool helps;
        bool ok;
    };
    for (const Case& c :
         {Case{true, true, true}, Case{false, false, false}, Case{true, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.completes << c.helps);
        fpga->set_tx_ready(false);
        fpga->set_tx_reset_behaviour(c.completes, c.helps);
        const int resets = fpga->tx_resets();
        auto sent = link.send_word(MessageType::MiscStatus, 2, 0);
        EXPECT_EQ(sent.has_value(), c.ok);
        EXPECT_EQ(fpga->tx_resets(), resets + 1);
        if (!c.ok) {
            EXPECT_EQ(sent.error().kind, ErrorKind::ParallelInterfaceTimeout);
        }
        EXPECT_EQ(fpga->host_take().size(), c.ok ? 1u : 0u);
    }
    EXPECT_EQ(fpga->link_protocol_errors(), 0);
}

TEST(Reports, RoutingSetAndReportLayout) {
    BlockRoutingBanks banks;
    EXPECT_TRUE(apply_routing_set(banks, 1, 0x0914));  // bank 0 <- 9, bank 1 <- 20: unrouted
    EXPECT_TRUE(apply_routing_set(banks, 8, 0x1001));
    EXPECT_TRUE(apply_routing_set(banks, 10, 0x1213));
    EXPECT_TRUE(apply_routing_set(banks, 11, 0x0003));
    EXPECT_TRUE(apply_routing_set(banks, 12, 0x0005));
    EXPECT_FALSE(apply_routing_set(banks, 13, 0));
    EXPECT_FALSE(apply_routing_set(banks, 0, 0));
    EXPECT_EQ(banks.pci[0], 9);
    EXPECT_EQ(banks.pci[1], kUnroutedCode);
    EXPECT_EQ(banks.net[6], 16);
    EXPECT_EQ(banks.net[7], 1);
    EXPECT_EQ(banks.madi[2], 18);
    EXPECT_TRUE(banks.aes3_in_enabled);
    EXPECT_EQ(banks.aes3_in_pair, 3);
    EXPECT_EQ(banks.aes3_out_pair, 5);
    const auto all = routing_items(banks, 0);
    ASSERT_EQ(all.size(), 12u);
    EXPECT_EQ(all[0], (ReportItem{1, 0x09FF}));
    EXPECT_EQ(all[10], (ReportItem{11, 0x0003}));
    EXPECT_TRUE(apply_routing_set(banks, 11, 0xFF07));
    EXPECT_EQ(routing_items(banks, 11), std::vector<ReportItem>{(ReportItem{11, 0xFF00})});
    EXPECT_TRUE(routing_items(banks, 13).empty());
}

TEST(Reports, WordsOfTheCatalogue) {
    // Reference clock codes of the Milan card.
    struct Ref {
        std::uint8_t kind;
        std::uint16_t number;
        std::uint16_t code;
    };
    for (const Ref& r :
         {Ref{0, 0, 7}, Ref{0, 31, 38}, Ref{0, 63, 39}, Ref{0, 40, 0xFFFF}, Ref{1, 5, 45},
          Ref{1, 63, 72}, Ref{128, 0, 1}, Ref{133, 0, 6}, Ref{254, 0, 0xFFFF}, Ref{255, 0, 0}}) {
        EXPECT_EQ(avb_ref_clock_code(r.kind, r.number), r.code) << int(r.kind) << " " << r.number;
    }
    struct Source {
        std::uint16_t code;
        std::optional<std::uint8_t> index;
    };
    for (const Source& c :
         {Source{0, 0}, Source{6, 6}, Source{7, 7}, Source{22, 22}, Source{23, std::nullopt},
          Source{38, std::nullopt}, Source{39, 23}, Source{40, 7}, Source{55, 22},
          Source{56, std::nullopt}, Source{72, 23}, Source{73, std::nullopt}}) {
        EXPECT_EQ(avb_clock_index(c.code), c.index) << c.code;
    }
    EXPECT_EQ(avb_clock_code(23), 39);
    EXPECT_EQ(avb_clock_code(24), 40);
    EXPECT_EQ(avb_clock_code(40), 72);
    EXPECT_EQ(avb_clock_code(41), std::nullopt);
    EXPECT_EQ(dante_ref_clock_code(std::nullopt, true, 2), 254);
    EXPECT_EQ(dante_ref_clock_code(3, true, 2), 254);
    EXPECT_EQ(dante_ref_clock_code(1, false, 2), 253);
    EXPECT_EQ(dante_ref_clock_code(1, true, 2), 2);

    // Settings: only enabled bits change, Dante-only flags only in Dante mode.
    MiscSettings settings;
    settings = apply_settings(settings, 0x0105 | 0xC0C0, false);  // bit 0 written; 2 not enabled
    EXPECT_TRUE(settings.wordclock_input_enable);
    EXPECT_FALSE(settings.madi_56ch);
    EXPECT_FALSE(settings.sync_to_external);
    EXPECT_EQ(settings_word(settings, false), 0x0D01);
    settings = apply_settings(settings, 0xC0C0, true);
    EXPECT_EQ(settings_word(settings, true), 0xCDC1);

    EXPECT_EQ(status_word(StatusInputs{true, true, false, true, true, 0x101}), 0xDB);
    const auto versions = static_info_versions(VersionRecord{1, 2, 3}, 0xAABBCC44, true);
    EXPECT_EQ(versions[0], (ReportItem{1, 0x8102}));
    EXPECT_EQ(versions[1], (ReportItem{2, 0x0344}));
    const auto macs = static_info_addresses(MacAddress{0, 1, 2, 3, 4, 5}, std::nullopt);
    EXPECT_EQ(macs[2], (ReportItem{5, 0x0405}));
    EXPECT_EQ(macs[3], (ReportItem{6, 0}));
    const auto ips = avb_ip_config(Ipv4{192, 168, 1, 2}, std::nullopt);
    EXPECT_EQ(ips[0], (ReportItem{1, 0xC0A8}));
    EXPECT_EQ(ips[3], (ReportItem{4, 0xFFFF}));
    const DanteInterface one{{10, 0, 0, 1}, 24, 0x2};
    const auto dante_ips = dante_ip_config(std::span(&one, 1));
    EXPECT_EQ(dante_ips[4], (ReportItem{5, 24 << 8}));
    EXPECT_EQ(dante_ips[5], (ReportItem{6, 0x5}));
    EXPECT_EQ(stream_format_word(8, 4, StreamFormatKind::Aaf), 0x0408);
    EXPECT_EQ(stream_format_word(0, 2, StreamFormatKind::Crf), 0x2200);
}

class SshUploadTest : public ::testing::Test {
protected:
    SshUploadTest() {
        dir = std::filesystem::temp_directory_path() /
              ("qz_ssh_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        config.authorized_keys = (dir / "ssh" / "authorized_keys").string();
        config.restart_service = [this]() -> std::expected<void, std::string> {
            ++restarts;
            return {};
        };
    }
    ~SshUploadTest() override { std::filesystem::remove_all(dir); }

    SshUploadResult upload(SshKeyUpload& upload, std::string_view text,
                           std::optional<std::uint16_t> crc = std::nullopt) {
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        if (bytes.size() % 2 != 0) {
            bytes.push_back(' ');
        }
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            EXPECT_EQ(upload.handle(ControlWord{
                          16, 1, static_cast<std::uint16_t>((bytes[i] << 8) | bytes[i + 1]), 1}),
                      SshUploadResult::Appended);
        }
        return upload.handle(ControlWord{16, 2, crc.value_or(crc16_usb(bytes)), 1});
    }
    std::optional<std::string> key_file() const {
        std::ifstream in(config.authorized_keys);
        if (!in) {
            return std::nullopt;
        }
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::filesystem::path dir;
    SshKeyConfig config;
    int restarts{0};
};

TEST_F(SshUploadTest, Crc16UsbCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(
        crc16_usb(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())),
        0xB4C8);
}

TEST_F(SshUploadTest, BadUploadsNeverWriteTheKeyFile) {
    SshKeyUpload keys(config);
    EXPECT_EQ(upload(keys, "ssh-ed25519 AAAA", 0x1234), SshUploadResult::BadCrc);
    EXPECT_EQ(upload(keys, "ssh-ed25519 \xC3\x28"), SshUploadResult::NotUtf8);
    EXPECT_EQ(upload(keys,
                     "ssh-ed25519 AA\x01"
                     "A"),
              SshUploadResult::Invalid);
    EXPECT_EQ(upload(keys, "ssh-ed25519 AA\nAB"), SshUploadResult::Invalid);
    EXPECT_EQ(upload(keys, "   "), SshUploadResult::Invalid);
    EXPECT_EQ(upload(keys, "key \xC2\x85 x"), SshUploadResult::Invalid);  // C1 control U+0085
    EXPECT_FALSE(key_file());
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(keys.handle(ControlWord{16, 3, 0, 1}), SshUploadResult::WrongIndex);
    EXPECT_EQ(keys.handle(ControlWord{16, 1, 0, 0}), SshUploadResult::WrongType);
    EXPECT_EQ(keys.buffered(), 0u);
}

TEST_F(SshUploadTest, WrongCrcEmptiesTheBufferSoTheNextUploadStartsClean) {
    SshKeyUpload keys(config);
    EXPECT_EQ(upload(keys, "garbage!", 0), SshUploadResult::BadCrc);
    EXPECT_EQ(keys.buffered(), 0u);
    EXPECT_EQ(upload(keys, "ssh-ed25519 AAAAC3 user@host\n"), SshUploadResult::Installed);
    EXPECT_EQ(key_file(), "ssh-ed25519 AAAAC3 user@host\n");
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(std::filesystem::status(dir / "ssh").permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_FALSE(std::filesystem::exists(config.authorized_keys + ".tmp"));
    // A second key replaces the whole file.
    EXPECT_EQ(upload(keys, "ssh-rsa BBBB"), SshUploadResult::Installed);
    EXPECT_EQ(key_file(), "ssh-rsa BBBB\n");
}

TEST_F(SshUploadTest, OverlongUploadIsDropped) {
    SshKeyUpload keys(config);
    SshUploadResult last = SshUploadResult::Appended;
    for (std::size_t i = 0;
         i <= SshKeyUpload::kMaxKeyBytes / 2 && last == SshUploadResult::Appended; ++i) {
        last = keys.handle(ControlWord{16, 1, 0x4141, 1});
    }
    EXPECT_EQ(last, SshUploadResult::Overflow);
    EXPECT_EQ(keys.buffered(), 0u);
}

TEST_F(SshUploadTest, RestartFailureIsReported) {
    config.restart_service = [] { return run_program({"/bin/false"}); };
    SshKeyUpload keys(config);
    EXPECT_EQ(upload(keys, "ssh-rsa CCCC"), SshUploadResult::RestartFailed);
    EXPECT_EQ(key_file(), "ssh-rsa CCCC\n");
    EXPECT_TRUE(run_program({"/bin/true"}));
    EXPECT_FALSE(run_program({"/nonexistent/program"}));
}

}  // namespace
}  // namespace qz::device
