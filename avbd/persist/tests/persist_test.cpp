#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "avbd/persist/device_settings.h"
#include "avbd/persist/files.h"
#include "avbd/persist/oem.h"
#include "avbd/persist/persistor.h"
#include "avbd/persist/restore.h"
#include "avbd/persist/stack_storage.h"
#include "strimo/avdecc/entity/json.h"

namespace qz::avbd::persist {
namespace {

namespace fs = std::filesystem;
using strimo::avdecc::entity::Entity;

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/persist_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const std::string& name, std::string_view content) {
        std::ofstream(join_path(dir, name), std::ios::binary) << content;
    }
    std::string read(const std::string& name) {
        auto text = read_small_file(join_path(dir, name), 1 << 26);
        return text && *text ? **text : std::string("<missing>");
    }
    std::string dir;
};

// --- atomic write --------------------------------------------------------------------------------

TEST(TemporaryPath, ReplacesTheExtension) {
    EXPECT_EQ(temporary_path("/mnt/user/current.json"), "/mnt/user/current.tmp");
    EXPECT_EQ(temporary_path("/mnt/user/maap0.addr"), "/mnt/user/maap0.tmp");
    EXPECT_EQ(temporary_path("/mnt/a.b/noext"), "/mnt/a.b/noext.tmp");
}

using AtomicWrite = TempDir;

TEST_F(AtomicWrite, ReplacesContentAndLeavesNoTemporary) {
    write("current.json", "old");
    ASSERT_TRUE(write_file_atomically(join_path(dir, "current.json"), std::string(20000, 'x')));
    EXPECT_EQ(read("current.json"), std::string(20000, 'x'));
    EXPECT_FALSE(fs::exists(join_path(dir, "current.tmp")));
}

TEST_F(AtomicWrite, FailureLeavesTheRealFileAlone) {
    write("current.json", "old");
    fs::create_directory(join_path(dir, "current.tmp"));  // the temporary cannot be created
    EXPECT_FALSE(write_file_atomically(join_path(dir, "current.json"), "new"));
    EXPECT_EQ(read("current.json"), "old");
}

// --- device settings -----------------------------------------------------------------------------

using Settings = TempDir;

TEST_F(Settings, DefaultsAreWrittenCompactInMemberOrder) {
    ASSERT_TRUE(save_device_settings(dir, default_device_settings()));
    EXPECT_EQ(read("device_current_avb.json"),
              R"({"routing":{"pci":["Avb1","Avb2","Avb3","Avb4","Avb5","Avb6","Avb7","Avb8"],)"
              R"("avb":["Pci1","Pci2","Pci3","Pci4","Pci5","Pci6","Pci7","Pci8"],)"
              R"("madi":["Pci1","Pci2","Pci3","Pci4"],"aes3_output_channels":[0,1],)"
              R"("aes3_input_overlay":null},"wordclock_input_enable":false,"madi_56ch":false,)"
              R"("madi_smux":false})");
    EXPECT_EQ(load_device_settings(dir), default_device_settings());
}

TEST_F(Settings, UnroutedOverlayAndOptionsRoundTrip) {
    auto settings = default_device_settings();
    settings.routing.pci[2] = 20;  // any code of 20 or more is "not routed"
    settings.routing.madi[3] = 19;
    settings.routing.aes3_in_enabled = true;
    settings.routing.aes3_in_pair = 3;
    settings.routing.aes3_out_pair = 5;
    settings.madi_smux = true;
    const auto text = device_settings_json(settings);
    EXPECT_THAT(text, ::testing::HasSubstr(R"("Avb2","Unrouted","Avb4")"));
    EXPECT_THAT(text, ::testing::HasSubstr(R"("MadiB2"])"));
    EXPECT_THAT(
        text, ::testing::HasSubstr(R"("aes3_output_channels":[10,11],"aes3_input_overlay":[6,7])"));
    auto back = parse_device_settings(text);
    ASSERT_TRUE(back);
    settings.routing.pci[2] = device::kUnroutedCode;
    EXPECT_EQ(*back, settings);
}

TEST_F(Settings, BadFilesGiveTheDefaults) {
    const std::string good = device_settings_json(default_device_settings());
    auto with_options = default_device_settings();
    with_options.wordclock_input_enable = true;
    const std::string good_wc = device_settings_json(with_options);
    const std::string no_madi = good_wc.substr(0, good_wc.find(R"(,"madi_56ch")")) + "}";
    const std::string no_wordclock =
        R"({"routing":)" + nlohmann::json::parse(good)["routing"].dump() + "}";
    // Without the MADI members the file still loads.
    write("device_current_avb.json", no_madi);
    EXPECT_EQ(load_device_settings(dir), with_options);

    for (const std::string& bad :
         {no_wordclock, good.substr(0, good.size() / 2), std::string("[1,2]"),
          std::string(R"({"routing":5,"wordclock_input_enable":true})"), std::string("\xff\xfe"),
          std::string(200000, ' ') + good}) {
        write("device_current_avb.json", bad);
        EXPECT_EQ(load_device_settings(dir), default_device_settings()) << bad.substr(0, 80);
    }
}

// --- persistor -----------------------------------------------------------------------------------

using Persistor = TempDir;

TEST_F(Persistor, TwoChangesBetweenRoundsGiveOneWriteOfTheLaterState) {
    EntitySlot slot;
    const auto path = join_path(dir, "current.json");
    Entity first;
    first.entity_name = "first";
    Entity second;
    second.entity_name = "second";
    slot.put(first);
    slot.put(second);
    EXPECT_TRUE(persist_once(slot, path));
    EXPECT_FALSE(persist_once(slot, path));  // nothing new: no write
    auto stored = strimo::avdecc::entity::load(read("current.json"));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->entity_name, "second");
}

TEST_F(Persistor, NothingIsWrittenOnceClosed) {
    EntitySlot slot;
    const auto path = join_path(dir, "current.json");
    slot.put(Entity{});
    slot.close();
    EXPECT_FALSE(persist_once(slot, path));
    EXPECT_FALSE(fs::exists(path));
}

// --- restore -------------------------------------------------------------------------------------

class Restore : public TempDir {
protected:
    Entity built() {
        return build_card_entity(default_oem_values("unknown", "1.0.0-v1"), {0x02, 0, 0, 0, 0, 1},
                                 {0x02, 0, 0, 0, 0, 2});
    }
    auto& config(Entity& e) { return e.configurations.at(0); }
};

TEST_F(Restore, MissingOrBrokenFileKeepsTheBuiltEntity) {
    EXPECT_EQ(restore_entity_values(built(), dir), built());
    write("current.json", strimo::avdecc::entity::save(built()).substr(0, 500));
    EXPECT_EQ(restore_entity_values(built(), dir), built());
}

TEST_F(Restore, ChangeableValuesAreTakenWhenTheBuiltEntityAllowsThem) {
    Entity stored = built();
    stored.entity_name = "Stage left";
    stored.group_name = "FOH";
    auto& unit = config(stored).audio_units.at(0);
    unit.current_sampling_rate = 96000;
    config(stored).input_streams.at(3).object_name = "Renamed";
    const auto other_format = config(stored).input_streams.at(3).stream_formats.back();
    config(stored).input_streams.at(3).current_stream_format = other_format;
    config(stored).controls.at(0).values =
        strimo::avdecc::entity::Linear<std::uint8_t>{{{0, 255, 255, 0, 255, 0, 0}}};
    write("current.json", strimo::avdecc::entity::save(stored));

    Entity restored = restore_entity_values(built(), dir);
    EXPECT_EQ(restored.entity_name, "Stage left");
    EXPECT_EQ(restored.group_name, "FOH");
    EXPECT_EQ(config(restored).audio_units[0].current_sampling_rate, 96000u);
    EXPECT_EQ(config(restored).input_streams[3].object_name, "Renamed");
    EXPECT_EQ(config(restored).input_streams[3].current_stream_format, other_format);
    EXPECT_EQ(std::get<1>(config(restored).controls[0].values).values[0].current, 255);
}

TEST_F(Restore, ValuesTheBuiltEntityDoesNotOfferAreRefused) {
    Entity stored = built();
    config(stored).audio_units.at(0).current_sampling_rate = 12345;
    config(stored).output_streams.at(0).current_stream_format = 0xDEADBEEF;
    config(stored).clock_domains.at(0).clock_source_index = 999;
    // Off the control's step (0 or 255 only) and beyond its type's range of values.
    config(stored).controls.at(0).values =
        strimo::avdecc::entity::Linear<std::uint8_t>{{{0, 255, 255, 0, 7, 0, 0}}};
    stored.current_configuration = 4;
    write("current.json", strimo::avdecc::entity::save(stored));
    EXPECT_EQ(restore_entity_values(built(), dir), built());
}

TEST_F(Restore, OnlyTheStreamsBothSidesHaveAreRestored) {
    for (std::size_t keep : {std::size_t{2}, std::size_t{40}}) {
        Entity stored = built();
        auto& inputs = config(stored).input_streams;
        for (auto& stream : inputs) {
            stream.object_name = "persisted";
        }
        inputs.resize(keep, inputs.back());  // fewer, or more, than the built entity has
        write("current.json", strimo::avdecc::entity::save(stored));
        Entity restored = restore_entity_values(built(), dir);
        const auto& out = config(restored).input_streams;
        Entity reference = built();
        ASSERT_EQ(out.size(), config(reference).input_streams.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].object_name == "persisted", i < keep) << keep << " " << i;
        }
    }
}

// --- OEM archive ---------------------------------------------------------------------------------

// A ustar archive writer for the tests (checksums computed like tar does).
struct TarMember {
    std::string path;
    std::string content;
    bool pax{false};  // the path goes in a PAX extended header, the ustar name is a stand-in
};

void put_octal(std::vector<std::uint8_t>& block, std::size_t at, std::size_t width,
               std::uint64_t value) {
    std::string digits(width - 1, '0');
    for (std::size_t i = width - 1; i-- > 0; value >>= 3) {
        digits[i] = static_cast<char>('0' + (value & 7));
    }
    std::copy(digits.begin(), digits.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
}

void add_entry(std::vector<std::uint8_t>& out, const std::string& name, char type,
               const std::string& content) {
    std::vector<std::uint8_t> block(512, 0);
    std::copy(name.begin(), name.end(), block.begin());
    put_octal(block, 100, 8, 0644);
    put_octal(block, 124, 12, content.size());
    block[156] = static_cast<std::uint8_t>(type);
    std::memcpy(block.data() + 257,
                "ustar\0"
                "00",
                8);
    std::fill(block.begin() + 148, block.begin() + 156, ' ');
    unsigned sum = 0;
    for (auto b : block) {
        sum += b;
    }
    put_octal(block, 148, 7, sum);
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), content.begin(), content.end());
    out.resize((out.size() + 511) / 512 * 512, 0);
}

std::vector<std::uint8_t> make_tar(const std::vector<TarMember>& members) {
    std::vector<std::uint8_t> out;
    for (const auto& m : members) {
        if (m.pax) {
            std::string record = " path=" + m.path + "\n";
            std::size_t length = record.size() + 2;
            record = std::to_string(length) + record;
            add_entry(out, "PaxHeader/x", 'x', record);
            add_entry(out, "stand-in-name", '0', m.content);
        } else {
            add_entry(out, m.path, '0', m.content);
        }
    }
    out.resize(out.size() + 1024, 0);
    return out;
}

std::vector<TarMember> complete_members() {
    return {{"entity_model_id", "+001B92FFFE000001\n"},
            {"default_entity_name", "Desk 1\n"},
            {"vendor_name", "ACME\n"},
            {"model_name", "Zelo OEM\r\nsecond line\n"},
            {"firmware_version", "2.0.1\n"},
            {"serial_number", "SN42\n"},
            {"ignored/other", "x"}};
}

TEST(OemArchive, CompleteArchiveGivesItsValues) {
    auto members = complete_members();
    members.push_back({"logo", std::string("\x89PNG\r\n", 6), false});
    members.push_back({"stream_naming_scheme", "no_dir_trailing_pri_sec\n", true});
    auto oem = parse_oem_archive(make_tar(members));
    ASSERT_TRUE(oem) << oem.error();
    EXPECT_EQ(oem->entity_model_id, 0x001B92FFFE000001u);
    EXPECT_EQ(oem->default_entity_name, "Desk 1");
    EXPECT_EQ(oem->model_name, "Zelo OEM");
    EXPECT_EQ(oem->serial_number, "SN42");
    EXPECT_EQ(oem->stream_naming_scheme, StreamNamingScheme::no_dir_trailing_pri_sec);
    ASSERT_TRUE(oem->logo);
    EXPECT_EQ(oem->logo->size(), 6u);
}

TEST(OemArchive, WithoutSchemeTheTrailingSchemeIsUsed) {
    auto oem = parse_oem_archive(make_tar(complete_members()));
    ASSERT_TRUE(oem);
    EXPECT_EQ(oem->stream_naming_scheme, StreamNamingScheme::dir_trailing_pri_sec);
    EXPECT_FALSE(oem->logo);
}

TEST(OemArchive, FaultsGiveTheirErrors) {
    struct Case {
        const char* name;
        std::function<void(std::vector<TarMember>&)> change;
        std::string error;
    };
    const std::vector<Case> cases{
        {"missing firmware_version",
         [](auto& m) { std::erase_if(m, [](auto& x) { return x.path == "firmware_version"; }); },
         "Incomplete OEM data"},
        {"bad scheme",
         [](auto& m) {
             m.push_back({"stream_naming_scheme", "sideways\n"});
         },
         "Invalid stream naming scheme"},
        {"empty member", [](auto& m) { m[1].content = ""; }, "Empty OEM entry"},
        {"bad model id", [](auto& m) { m[0].content = "12G4\n"; }, "invalid digit found in string"},
        {"model id over 64 bits", [](auto& m) { m[0].content = "1234567890ABCDEF0\n"; },
         "number too large to fit in target type"},
        {"not UTF-8", [](auto& m) { m[2].content = "\xc3\x28"; },
         "stream did not contain valid UTF-8"},
    };
    for (const auto& c : cases) {
        auto members = complete_members();
        c.change(members);
        auto oem = parse_oem_archive(make_tar(members));
        ASSERT_FALSE(oem) << c.name;
        EXPECT_EQ(oem.error(), c.error) << c.name;
    }
}

TEST(OemArchive, CorruptHeaderOrCutArchiveIsAnError) {
    auto tar = make_tar(complete_members());
    auto corrupt = tar;
    corrupt[512 * 2 + 10] ^= 0x01;  // in the name of the second header
    auto result = parse_oem_archive(corrupt);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "archive header checksum mismatch");
    // Cut inside a member, and a size field claiming far more than the flash holds.
    EXPECT_FALSE(parse_oem_archive(std::span(tar).first(512 + 100)));
    auto huge = make_tar({{"logo", ""}});
    put_octal(huge, 124, 12, 077777777777);
    std::fill(huge.begin() + 148, huge.begin() + 156, ' ');
    unsigned sum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
        sum += huge[i];
    }
    put_octal(huge, 148, 7, sum);
    EXPECT_FALSE(parse_oem_archive(huge));
}

// Damaged archives and files of every kind end in a value or an error, never a read out of
// bounds (the sanitizer build checks the reads).
TEST(MalformedInput, DamagedArchivesAndFilesNeverCrash) {
    std::mt19937 random(7);
    auto members = complete_members();
    members.push_back({"logo", std::string(1500, 'L'), true});
    const auto tar = make_tar(members);
    const std::string settings = device_settings_json(default_device_settings());
    const std::string bindings = bindings_json({{1, 2, 3, {4}}, {5, 6, 7, {8}}});
    int parsed = 0;
    for (int i = 0; i < 3000; ++i) {
        auto damaged = tar;
        for (int flips = 0; flips < 4; ++flips) {
            damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
        }
        damaged.resize(random() % (damaged.size() + 1));
        parsed += parse_oem_archive(damaged).has_value() ? 1 : 0;
        auto text = (i % 2 == 0 ? settings : bindings);
        text[random() % text.size()] = static_cast<char>(random());
        text.resize(random() % (text.size() + 1));
        parsed += parse_device_settings(text).has_value() ? 1 : 0;
        parsed += parse_bindings(text).has_value() ? 1 : 0;
    }
    // Damage mostly breaks the input; what still parses is fine either way.
    EXPECT_LT(parsed, 3 * 3000);
}

using OemFlash = TempDir;

TEST_F(OemFlash, VersionSerialAndDefaults) {
    OemPaths paths{join_path(dir, "mtd1"), join_path(dir, "mtd0"), join_path(dir, "logo.png")};
    EXPECT_FALSE(read_oem_values(paths, 0x1234));  // the version bytes are required

    std::string flash1(kOemArchiveOffset, '\xff');
    flash1[kVersionOffset] = 3;
    flash1[kVersionOffset + 1] = 1;
    flash1[kVersionOffset + 2] = 4;
    write("mtd1", flash1);  // no archive after the version record
    std::string flash0(0x1000, '\0');
    flash0.replace(kSerialOffset, 8, "QZ000123");
    write("mtd0", flash0);
    write("logo.png", "PNGDATA");
    auto identity = read_oem_values(paths, 0x0001A207);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->version.major, 3);
    EXPECT_EQ(identity->version.patch, 4);
    ASSERT_TRUE(identity->oem_error);
    EXPECT_EQ(identity->oem.firmware_version, "3.1.4-v7");
    EXPECT_EQ(identity->oem.serial_number, "QZ000123");
    EXPECT_EQ(identity->oem.stream_naming_scheme, StreamNamingScheme::dir_leading_pri_sec);
    ASSERT_TRUE(identity->oem.logo);
    EXPECT_EQ(identity->oem.logo->size(), 7u);

    // With an archive in place, its values win.
    const auto tar = make_tar(complete_members());
    write("mtd1", flash1 + std::string(tar.begin(), tar.end()));
    identity = read_oem_values(paths, 0);
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->oem_error);
    EXPECT_EQ(identity->oem.serial_number, "SN42");

    flash0.replace(kSerialOffset, 8,
                   "\xff\xfe"
                   "ABCDEF");
    write("mtd0", flash0);
    EXPECT_EQ(read_factory_serial(paths.serial_flash), "unknown");
    EXPECT_EQ(read_factory_serial(join_path(dir, "none")), "unknown");
}

// --- stack storage -------------------------------------------------------------------------------

using Storage = TempDir;

TEST_F(Storage, MaapAddressesRoundTripAndBadFilesAreErrors) {
    StackStorage storage(dir, std::make_shared<EntitySlot>());
    EXPECT_EQ(storage.restore_maap_address(1).value(), std::nullopt);
    ASSERT_TRUE(storage.persist_maap_address(1, {0x91, 0xE0, 0xF0, 0x00, 0x12, 0x34}));
    EXPECT_EQ(read("maap1.addr"), "[145,224,240,0,18,52]");
    EXPECT_EQ(storage.restore_maap_address(1).value(),
              (net::MacAddress{0x91, 0xE0, 0xF0, 0x00, 0x12, 0x34}));
    write("maap0.addr", "null");
    EXPECT_EQ(storage.restore_maap_address(0).value(), std::nullopt);
    for (const char* bad : {"[1,2,3]", "[1,2,3,4,5,256]", "[1,2,3,4,5", "{}", "[1,2,3,4,5,-1]"}) {
        write("maap0.addr", bad);
        auto restored = storage.restore_maap_address(0);
        ASSERT_FALSE(restored) << bad;
        EXPECT_EQ(restored.error().cause, "Parsing MAAP addr file failed");
    }
}

TEST_F(Storage, BindingsRoundTripAndAcceptPlainNumbers) {
    StackStorage storage(dir, std::make_shared<EntitySlot>());
    EXPECT_EQ(storage.restore_auto_connect().value(), std::nullopt);
    const std::vector<BindingParameters> bindings{{0x1, 0x001B92FFFE000001, 3, {0x8000}}};
    ASSERT_TRUE(storage.persist_auto_connect(bindings));
    EXPECT_EQ(read("auto_connect.json"),
              R"([{"controller_id":"0x01","talker_guid":"0x1b92fffe000001",)"
              R"("talker_unique_id":3,"flags":{"bits":32768}}])");
    EXPECT_EQ(storage.restore_auto_connect().value(), bindings);
    write("auto_connect.json",
          R"([{"controller_id":1,"talker_guid":7,"talker_unique_id":0,"flags":{"bits":1}}])");
    EXPECT_EQ(storage.restore_auto_connect().value()->at(0).talker_guid, 7u);
    write("auto_connect.json", "null");
    EXPECT_EQ(storage.restore_auto_connect().value(), std::nullopt);
    for (const char* bad : {"[{}]", "[",
                            R"([{"controller_id":"0x1","talker_guid":"zz",)"
                            R"("talker_unique_id":0,"flags":{"bits":1}}])"}) {
        write("auto_connect.json", bad);
        EXPECT_FALSE(storage.restore_auto_connect()) << bad;
    }
}

TEST_F(Storage, PersistEntityHandsADeepCopyToTheSlot) {
    auto slot = std::make_shared<EntitySlot>();
    StackStorage storage(dir, slot);
    Entity entity;
    entity.entity_name = "a";
    storage.persist_entity(entity);
    entity.entity_name = "b";
    EXPECT_EQ(slot->take()->entity_name, "a");
    EXPECT_FALSE(slot->take());
}

}  // namespace
}  // namespace qz::avbd::persist
