// Frames built by the codec, the receive path and the descriptor serialiser, read back by
// tshark's IEEE 1722.1 dissector as an independent check of the wire format.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/device/simulated_hooks.h"
#include "packet/acmp.h"
#include "packet/adp.h"
#include "packet/aecp.h"
#include "strimo/avdecc/avdecc_entity.h"
#include "support/random.h"

namespace qz::avbd {
namespace {

using namespace packet;
using Frame = std::vector<std::uint8_t>;
namespace model = strimo::avdecc::entity;

const net::MacAddress kMac0{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const net::MacAddress kMac1{0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
constexpr Bytes6 kControllerMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr std::uint64_t kController = 0x0200000000000001;

bool tshark_available() {
    return std::system("tshark -v >/dev/null 2>&1") == 0;
}

std::string run(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return out;
    }
    std::array<char, 4096> buffer{};
    while (auto n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        out.append(buffer.data(), n);
    }
    return out;
}

void write_pcap(const std::string& path, const std::vector<Frame>& frames) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<long>(i);
        header.caplen = static_cast<bpf_u_int32>(frames[i].size());
        header.len = header.caplen;
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

// One line per frame: the requested fields separated by '|', values of repeated fields by ','.
std::vector<std::vector<std::string>> fields(const std::string& path,
                                             const std::vector<std::string>& names) {
    std::string command = "tshark -r " + path + " -T fields -E separator='|' -E occurrence=a";
    for (const auto& name : names) {
        command += " -e " + name;
    }
    std::vector<std::vector<std::string>> rows;
    std::string all = run(command + " 2>/dev/null");
    std::size_t start = 0;
    while (start < all.size()) {
        auto end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::vector<std::string> row;
        std::string line = all.substr(start, end - start);
        std::size_t from = 0;
        while (true) {
            auto bar = line.find('|', from);
            row.push_back(line.substr(from, bar - from));
            if (bar == std::string::npos) {
                break;
            }
            from = bar + 1;
        }
        rows.push_back(row);
        start = end + 1;
    }
    return rows;
}

struct CapturingSender final : net::FrameSender {
    void send(std::size_t, std::span<const std::uint8_t> frame) override {
        sent.emplace_back(frame.begin(), frame.end());
    }
    std::vector<Frame> sent;
};

Frame aecp_command(aecp::MessageType type, std::uint16_t length, std::uint64_t target) {
    Frame frame(kControlDataOffset + length, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, kAvdeccMulticast);
    (void)set(out, eth::kSource, kControllerMac);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(type));
    (void)set(out, avtp::kControlDataLength, length);
    (void)set(out, aecp::kTargetEntityId, target);
    (void)set(out, aecp::kControllerEntityId, kController);
    (void)set(out, aecp::kSequenceId, std::uint16_t{7});
    return frame;
}

// The READ_DESCRIPTOR response a controller would receive for one descriptor.
Frame read_descriptor_response(std::uint64_t target, std::span<const std::uint8_t> descriptor) {
    auto command = aecp_command(aecp::MessageType::AEM_COMMAND, 12 + 8, target);
    (void)set(std::span<std::uint8_t>(command), aem::kCommandType,
              aem::to_u16(aem::CommandType::READ_DESCRIPTOR));
    auto response = aem::make_response(command, aem::Status::SUCCESS, 4 + descriptor.size());
    EXPECT_TRUE(response);
    std::copy(descriptor.begin(), descriptor.end(), response->begin() + 42);
    return *response;
}

class WireDissection : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tshark_available()) {
            GTEST_SKIP() << "tshark is not installed";
        }
        path_ = (std::filesystem::temp_directory_path() /
                 ("qz_wire_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap"))
                    .string();
    }
    void TearDown() override {
        // QZ_KEEP_PCAP keeps the capture for a look with tshark -V.
        if (!path_.empty() && std::getenv("QZ_KEEP_PCAP") == nullptr) {
            std::filesystem::remove(path_);
        }
    }
    // No frame may carry tshark's malformed or error marks.
    void expect_clean(std::size_t frame_count) {
        const auto rows = fields(path_, {"frame.number", "_ws.malformed", "_ws.expert.severity"});
        ASSERT_EQ(rows.size(), frame_count);
        for (const auto& row : rows) {
            ASSERT_EQ(row.size(), 3U);
            EXPECT_EQ(row[1], "") << "frame " << row[0] << " malformed";
            EXPECT_EQ(row[2].find("error"), std::string::npos) << "frame " << row[0];
        }
    }
    std::string path_;
};

TEST_F(WireDissection, AdpAdvertisementAndMilanInfoResponse) {
    const auto entity = build_card_entity(default_oem_values("SN", "1.0.0-v1"), kMac0, kMac1);
    auto adp_frame = adp::make_frame(adp::MessageType::ENTITY_AVAILABLE);
    std::span<std::uint8_t> out(adp_frame);
    (void)set(out, eth::kSource, kMac0);
    (void)set(out, avtp::kValidTime, std::uint16_t{adp::kValidTimeAvailable});
    (void)set(out, adp::kEntityId, entity.entity_id);
    (void)set(out, adp::kEntityModelId, entity.entity_model_id);
    (void)set(out, adp::kEntityCapabilities, entity.entity_capabilities);
    (void)set(out, adp::kTalkerStreamSources, entity.talker_stream_sources);
    (void)set(out, adp::kTalkerCapabilities, entity.talker_capabilities);
    (void)set(out, adp::kListenerStreamSinks, entity.listener_stream_sinks);
    (void)set(out, adp::kListenerCapabilities, entity.listener_capabilities);
    (void)set(out, adp::kAvailableIndex, std::uint32_t{42});
    (void)set(out, adp::kInterfaceIndex, std::uint16_t{1});

    CapturingSender sender;
    SimulatedCardHooks card(std::nullopt);
    auto& hooks = card.get();
    SeededRandom random(1);
    strimo::avdecc::AvdeccEntity avdecc(model::EntityModel(entity), hooks, sender, random);
    auto command = aecp_command(aecp::MessageType::VENDOR_UNIQUE_COMMAND, 20, entity.entity_id);
    (void)set(std::span<std::uint8_t>(command), milan::kProtocolIdField, milan::kProtocolId);
    ASSERT_TRUE(avdecc.receive(0, command, Instant{}));
    auto acmp_command = Frame(acmp::kFrameSize, 0);
    std::span<std::uint8_t> a(acmp_command);
    (void)set(a, eth::kEthertype, kEthertypeAvtp);
    (void)set(a, avtp::kSubtypeByte, kSubtypeByteAcmp);
    (void)set(a, avtp::kMessageType, std::uint16_t{6});
    (void)set(a, acmp::kListenerEntityId, entity.entity_id);
    (void)set(a, acmp::kSequenceId, std::uint16_t{99});
    auto acmp_response = acmp::make_response(acmp_command, acmp::Status::LISTENER_EXCLUSIVE);
    ASSERT_TRUE(acmp_response);
    ASSERT_EQ(sender.sent.size(), 1U);
    write_pcap(path_, {adp_frame, sender.sent[0], *acmp_response});
    expect_clean(3);

    const auto rows = fields(
        path_,
        {"ieee17221.message_type", "ieee17221.valid_time", "ieee17221.control_data_length",
         "ieee17221.entity_id", "ieee17221.entity_capabilities", "ieee17221.talker_stream_sources",
         "ieee17221.available_index", "ieee17221.sequence_id", "ieee17221.status_field",
         "ieee17221.listener_guid", "ieee17221.controller_guid", "ieee17221.entity_model_id"});
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0][0], "0");
    EXPECT_EQ(rows[0][1], "10");
    EXPECT_EQ(rows[0][2], "56");
    EXPECT_EQ(rows[0][3], "0x001122fffe334455");
    EXPECT_EQ(rows[0][4], "0x0000c58a");
    EXPECT_EQ(rows[0][5], "34");
    EXPECT_EQ(rows[0][6], "0x0000002a");
    EXPECT_EQ(rows[0][11], fmt::format("{:#018x}", entity.entity_model_id));
    // The Milan vendor-unique response: AECP message type 7 with its control data length, back
    // to the asking controller. (This tshark does not decode the Milan payload itself.)
    EXPECT_EQ(rows[1][0], "7");
    EXPECT_EQ(rows[1][2], "32");
    EXPECT_EQ(rows[1][7], "7");
    EXPECT_EQ(rows[1][10], "0x0200000000000001");
    // The ACMP response: CONNECT_RX_RESPONSE with LISTENER_EXCLUSIVE.
    EXPECT_EQ(rows[2][0], "7");
    EXPECT_EQ(rows[2][2], "44");
    EXPECT_EQ(rows[2][7], "0x0063");
    EXPECT_EQ(rows[2][8], "8");
    EXPECT_EQ(rows[2][9], "0x001122fffe334455");
}

TEST_F(WireDissection, ReadDescriptorResponsesOfEveryCardDescriptorType) {
    auto oem = default_oem_values("SN", "1.0.0-v1");
    oem.logo = std::vector<std::uint8_t>(64, 0xAB);
    model::EntityModel m(build_card_entity(oem, kMac0, kMac1));
    using DT = aem::DescriptorType;
    const std::pair<DT, std::uint16_t> wanted[] = {
        {DT::ENTITY, 0},
        {DT::CONFIGURATION, 0},
        {DT::AUDIO_UNIT, 0},
        {DT::STREAM_INPUT, 0},
        {DT::STREAM_OUTPUT, 16},
        {DT::JACK_INPUT, 5},
        {DT::AVB_INTERFACE, 1},
        {DT::CLOCK_SOURCE, 23},
        {DT::MEMORY_OBJECT, 0},
        {DT::LOCALE, 0},
        {DT::STRINGS, 0},
        {DT::STREAM_PORT_INPUT, 0},
        {DT::STREAM_PORT_OUTPUT, 0},
        {DT::AUDIO_CLUSTER, 600},
        {DT::AUDIO_MAP, 0},
        {DT::CONTROL, 0},
        {DT::CLOCK_DOMAIN, 0},
    };
    std::vector<Frame> frames;
    for (auto [type, index] : wanted) {
        auto bytes = m.read_descriptor(0, aem::to_u16(type), index);
        ASSERT_TRUE(bytes) << aem::descriptor_type_name(aem::to_u16(type));
        frames.push_back(read_descriptor_response(m.entity().entity_id, *bytes));
    }
    write_pcap(path_, frames);
    expect_clean(frames.size());

    const std::vector<std::string> names{"ieee17221.descriptor_type",
                                         "ieee17221.descriptor_index",
                                         "ieee17221.object_name",
                                         "ieee17221.entity_name",
                                         "ieee17221.vendor_name_string",
                                         "ieee17221.number_of_formats",
                                         "ieee17221.clock_sources_count",
                                         "ieee17221.number_of_clusters",
                                         "ieee17221.base_cluster",
                                         "ieee17221.current_sample_rate",
                                         "ieee17221.jack_type",
                                         "ieee17221.clock_identity",
                                         "ieee17221.mac_address",
                                         "ieee17221.clock_source_type",
                                         "ieee17221.descriptor_counts_count",
                                         "ieee17221.avb_interface_id",
                                         "ieee17221.localized_description",
                                         "ieee17221.interface_name",
                                         "ieee17221.clock_source_name",
                                         "ieee17221.jack_name",
                                         "ieee17221.stream_name",
                                         "ieee17221.count",
                                         "ieee17221.clock_sources",
                                         "ieee17221.base_audio_map",
                                         "ieee17221.num_audio_maps"};
    const auto rows = fields(path_, names);
    ASSERT_EQ(rows.size(), frames.size());
    auto at = [&](std::size_t frame, std::string_view name) {
        const auto column =
            static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
        return column < rows[frame].size() ? rows[frame][column] : std::string("<none>");
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // Every response names the descriptor it carries (the first type: CONFIGURATION lists
        // more in its counts).
        const auto type = at(i, "ieee17221.descriptor_type");
        EXPECT_EQ(type.substr(0, 6), fmt::format("0x{:04x}", aem::to_u16(wanted[i].first))) << i;
        EXPECT_EQ(at(i, "ieee17221.descriptor_index"), fmt::format("0x{:04x}", wanted[i].second))
            << i;
    }
    EXPECT_EQ(at(0, "ieee17221.entity_name"), "Quenta Zelo");
    EXPECT_EQ(at(0, "ieee17221.vendor_name_string"), "0");
    EXPECT_EQ(at(1, "ieee17221.descriptor_counts_count"), "10");
    EXPECT_EQ(at(1, "ieee17221.count"), "1,34,34,6,2,41,1,1,1,1");
    EXPECT_EQ(at(2, "ieee17221.current_sample_rate"), "48000");
    EXPECT_EQ(at(3, "ieee17221.number_of_formats"), "24");
    EXPECT_EQ(at(3, "ieee17221.stream_name"), "Primary Input Stream 1");
    EXPECT_EQ(at(4, "ieee17221.number_of_formats"), "2");
    EXPECT_EQ(at(4, "ieee17221.stream_name"), "Primary Clock Output Stream");
    EXPECT_EQ(at(4, "ieee17221.avb_interface_id"), "0");
    // buffer_length (32 bits at 128) is left out: this tshark decodes only its upper 16 bits.
    EXPECT_EQ(at(5, "ieee17221.jack_name"), "AES/EBU Input");
    EXPECT_EQ(at(5, "ieee17221.jack_type"), "0x000b");
    EXPECT_EQ(at(6, "ieee17221.interface_name"), "AVB Interface");
    EXPECT_EQ(at(6, "ieee17221.clock_identity"), "0x001122fffe334456");
    EXPECT_EQ(at(6, "ieee17221.mac_address"), "00:11:22:33:44:56");
    EXPECT_EQ(at(7, "ieee17221.clock_source_name"), "Primary Clock Input Stream");
    EXPECT_EQ(at(7, "ieee17221.clock_source_type"), "0x0002");
    EXPECT_EQ(at(8, "ieee17221.object_name"), "Entity Image");
    EXPECT_EQ(at(11, "ieee17221.number_of_clusters"), "512");
    EXPECT_EQ(at(11, "ieee17221.num_audio_maps"), "6");
    EXPECT_EQ(at(12, "ieee17221.base_cluster"), "512");
    EXPECT_EQ(at(12, "ieee17221.base_audio_map"), "6");
    EXPECT_EQ(at(15, "ieee17221.object_name"), "Identify");
    EXPECT_EQ(at(15, "ieee17221.localized_description"), "2");  // "Identify on/off"
    EXPECT_EQ(at(16, "ieee17221.clock_sources_count"), "41");
    EXPECT_EQ(at(16, "ieee17221.clock_sources").substr(0, 8), "0,1,2,3,");

    // The decoded text of a few descriptors whose fields have no filter names of their own.
    const auto text = run("tshark -r " + path_ + " -V 2>/dev/null");
    for (const char* expected :
         {"String: Telvar", "String: Quenta Zelo", "String: Identify on/off",
          "Locale Identifier: en", "Object Name: Output 89", "Number of Mappings: 176",
          "Control Value Type: CONTROL_LINEAR_UINT8", "Control Type: 0x90e0f00000000001",
          "Start Address: 0x000000004c4f474f", "Number of Strings: 1"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
}

TEST_F(WireDissection, AddressAccessReadOfTheEntityImage) {
    auto oem = default_oem_values("SN", "1.0.0-v1");
    oem.logo = std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const auto entity = build_card_entity(oem, kMac0, kMac1);
    CapturingSender sender;
    SimulatedCardHooks card(oem.logo);
    auto& hooks = card.get();
    SeededRandom random(1);
    strimo::avdecc::AvdeccEntity avdecc(model::EntityModel(entity), hooks, sender, random);
    auto command =
        aecp_command(aecp::MessageType::ADDRESS_ACCESS_COMMAND, 12 + 10 + 8, entity.entity_id);
    std::span<std::uint8_t> out(command);
    (void)set(out, aa::kTlvCount, std::uint16_t{1});
    (void)set(out, Field<std::uint16_t>{38}, std::uint16_t{8});  // READ, 8 bytes
    (void)set(out, Field<std::uint64_t>{40}, kLogoStartAddress);
    ASSERT_TRUE(avdecc.receive(0, command, Instant{}));
    ASSERT_EQ(sender.sent.size(), 1U);
    write_pcap(path_, {command, sender.sent[0]});
    expect_clean(2);
    const auto rows =
        fields(path_, {"ieee17221.message_type", "ieee17221.status", "ieee17221.count",
                       "ieee17221.tlv_mode", "ieee17221.tlv_length", "ieee17221.tlv_address"});
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[1][0], "3");
    EXPECT_EQ(rows[1][1], "0x00");
    EXPECT_EQ(rows[1][2], "1");
    EXPECT_EQ(rows[1][4], "8");
    EXPECT_EQ(rows[1][5], "0x000000004c4f474f");
    EXPECT_EQ(Frame(sender.sent[0].begin() + 48, sender.sent[0].end()), *oem.logo);
}

}  // namespace
}  // namespace qz::avbd
