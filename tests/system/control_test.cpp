// The Milan daemon on the simulated card, seen from the host's end of the control link and from
// its stored files: host requests reach the card and come back as reports, what must survive a
// restart does, and a kill at any moment leaves every stored file old or new.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "avbd/persist/device_settings.h"
#include "avbd/persist/files.h"
#include "strimo/avdecc/entity/json.h"
#include "tests/system/harness/card_sandbox.h"
#include "tests/system/harness/netns.h"
#include "tests/system/harness/ptp4l.h"
#include "tests/system/harness/sim_card.h"
#include "tools/host_ctl/host_link.h"

namespace qz::systest {
namespace {

using namespace std::chrono_literals;
using device::ControlWord;
namespace fs = std::filesystem;

constexpr std::uint8_t kSet = 1;
constexpr std::uint8_t kGet = 0;

class Control : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
        network = std::make_unique<CardNetwork>();
        files = std::make_unique<SimCardFiles>(sandbox.directory());
        ptp4l = start_card_ptp4ls(sandbox, network->card(), {"eth0", "eth1"});
    }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& record : sandbox.syslog().records()) {
                std::printf("syslog: %s\n", record.raw.c_str());
            }
        }
    }

    // Starts the daemon and connects to its host link once it reports started. With `settle`,
    // the words of the start-up report that were still on their way when the host connected
    // are read up to the first liveness word, so they cannot pass for answers.
    std::unique_ptr<Program> start(bool settle = true) {
        const auto before = sandbox.syslog().count("qzel_avbd started");
        auto daemon = sandbox.start(network->card(), files->daemon_argv(), "qzel_avbd.out");
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (sandbox.syslog().count("qzel_avbd started") == before &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_GT(sandbox.syslog().count("qzel_avbd started"), before) << daemon->output();
        auto connected = host_ctl::HostLink::connect(files->host_socket);
        EXPECT_TRUE(connected) << connected.error();
        if (connected) {
            link.emplace(std::move(*connected));
            if (settle) {
                auto alive = link->wait_for(6, 2, 3s);
                EXPECT_TRUE(alive && *alive) << "no liveness word from the card";
            }
        }
        return daemon;
    }

    std::optional<ControlWord> ask(const ControlWord& word, std::uint8_t type, std::uint8_t index) {
        EXPECT_TRUE(link->send(word));
        auto reply = link->wait_for(type, index, 2s);
        EXPECT_TRUE(reply);
        return reply ? *reply : std::nullopt;
    }

    // Waits until the file exists and `good` accepts its content (the persistor writes at most
    // every 2 s, and a loaded machine may take longer).
    template <typename F>
    std::string wait_file(const std::string& name, F&& good) {
        const auto deadline = std::chrono::steady_clock::now() + 8s;
        std::string content = file(name);
        while (!good(content) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            content = file(name);
        }
        return content;
    }

    std::string file(const std::string& name) const {
        auto text = avbd::persist::read_small_file(files->data_directory + "/" + name, 1 << 26);
        return text && *text ? **text : std::string();
    }

    CardSandbox sandbox;
    std::unique_ptr<CardNetwork> network;
    std::unique_ptr<SimCardFiles> files;
    std::vector<std::unique_ptr<Program>> ptp4l;
    std::optional<host_ctl::HostLink> link;
};

TEST_F(Control, HostChangesReachTheCardAndSurviveARestart) {
    auto daemon = start();
    ASSERT_TRUE(link);
    // The initial report has gone out before the host connected; asking repeats it.
    auto rate = ask({1, 0, 0, kGet}, 1, 1);
    ASSERT_TRUE(rate);
    EXPECT_EQ(rate->value, 2);  // 48000 Hz
    auto changed = ask({1, 1, 4, kSet}, 1, 1);
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->value, 4);  // 96000 Hz reported back from the card

    // Host clock source 72 selects the secondary clock stream, entity source 23: the card
    // reports it with its primary-port code.
    auto clock = ask({2, 1, 72, kSet}, 2, 1);
    ASSERT_TRUE(clock);
    EXPECT_EQ(clock->value, 39);

    // Routing item 1 (host recording banks 0 and 1) from MADI A1 and Pci3.
    ASSERT_TRUE(link->send({8, 1, 0x1002, kSet}));
    auto routing = ask({8, 1, 0, kGet}, 8, 1);
    ASSERT_TRUE(routing);
    EXPECT_EQ(routing->value, 0x1002);
    EXPECT_NE(file("device_current_avb.json").find(R"("pci":["MadiA1","Pci3","Avb3")"),
              std::string::npos)
        << file("device_current_avb.json");

    // An invalid routing index changes nothing.
    const auto settings_before = file("device_current_avb.json");
    ASSERT_TRUE(link->send({8, 13, 0x0101, kSet}));
    EXPECT_TRUE(sandbox.syslog().wait_for("Received invalid routing request", 2s));
    EXPECT_EQ(file("device_current_avb.json"), settings_before);

    // The persistor writes the model within its 2 s period.
    auto stored = strimo::avdecc::entity::load(wait_file("current.json", [](const std::string& t) {
        auto e = strimo::avdecc::entity::load(t);
        return e && e->configurations[0].clock_domains[0].clock_source_index == 23;
    }));
    ASSERT_TRUE(stored) << stored.error().text();
    EXPECT_EQ(stored->configurations[0].audio_units[0].current_sampling_rate, 96000u);
    EXPECT_EQ(stored->configurations[0].clock_domains[0].clock_source_index, 23);

    daemon->signal(SIGTERM);
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0);
    link.reset();

    daemon = start();
    ASSERT_TRUE(link);
    rate = ask({1, 0, 0, kGet}, 1, 1);
    ASSERT_TRUE(rate);
    EXPECT_EQ(rate->value, 4);
    routing = ask({8, 1, 0, kGet}, 8, 1);
    ASSERT_TRUE(routing);
    EXPECT_EQ(routing->value, 0x1002);
}

TEST_F(Control, IdentifySshKeyAndFactoryReset) {
    auto daemon = start();
    ASSERT_TRUE(link);
    auto status = ask({5, 1, 0x0202, kSet}, 6, 1);  // identify on
    ASSERT_TRUE(status);
    EXPECT_EQ(status->value & 0x10, 0x10);

    const std::string key = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIExample host@desk";
    for (const auto& word : host_ctl::ssh_key_words(key)) {
        ASSERT_TRUE(link->send(word));
    }
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (file("ssh/authorized_keys").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(file("ssh/authorized_keys"), key + "\n");

    // Identify on also set the Identify control, so the entity is stored.
    ASSERT_FALSE(
        wait_file("current.json", [](const std::string& t) { return !t.empty(); }).empty());
    ASSERT_TRUE(link->send({5, 1, 0x0101, kSet}));  // word clock input on: settings file
    std::this_thread::sleep_for(200ms);
    ASSERT_FALSE(file("device_current_avb.json").empty());

    ASSERT_TRUE(link->send({15, 1, 0, kSet}));
    EXPECT_EQ(exit_code(daemon->wait_exit(5s)), 0);
    for (const char* name : {"device_current_avb.json", "current.json", "auto_connect.json",
                             "maap0.addr", "maap1.addr"}) {
        EXPECT_FALSE(fs::exists(files->data_directory + "/" + name)) << name;
    }
    link.reset();
    daemon = start();
    ASSERT_TRUE(link);
    auto settings = ask({5, 1, 0, kGet}, 5, 1);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->value & 0x01, 0);  // defaults again
}

// Kills the daemon at random moments while host changes keep both the settings file and the
// entity file being rewritten; every file must then be the old or the new version, never a
// broken one.
TEST_F(Control, SigkillWhilePersistingLeavesEveryFileParseable) {
    std::mt19937 random(20261211);
    int killed_with_files = 0;
    for (int round = 0; round < 24; ++round) {
        auto daemon = start(/*settle=*/false);
        ASSERT_TRUE(link);
        const auto until =
            std::chrono::steady_clock::now() +
            std::chrono::milliseconds(std::uniform_int_distribution(50, 2600)(random));
        std::uint16_t n = static_cast<std::uint16_t>(round);
        while (std::chrono::steady_clock::now() < until) {
            ++n;
            ASSERT_TRUE(
                link->send({8, static_cast<std::uint8_t>(1 + n % 10),
                            static_cast<std::uint16_t>(((n % 20) << 8) | ((n + 3) % 20)), kSet}));
            ASSERT_TRUE(link->send({1, 1, static_cast<std::uint16_t>(n % 2 == 0 ? 2 : 4), kSet}));
            // Reading the reports paces the host like a real driver would.
            ASSERT_TRUE(link->receive(
                std::chrono::milliseconds(std::uniform_int_distribution(1, 3)(random))));
        }
        daemon->signal(SIGKILL);
        daemon->wait_exit(5s);
        link.reset();

        const auto settings = file("device_current_avb.json");
        if (fs::exists(files->data_directory + "/device_current_avb.json")) {
            EXPECT_TRUE(avbd::persist::parse_device_settings(settings)) << "round " << round;
        }
        const auto entity = file("current.json");
        if (fs::exists(files->data_directory + "/current.json")) {
            EXPECT_TRUE(strimo::avdecc::entity::load(entity)) << "round " << round;
            ++killed_with_files;
        }
    }
    // The rounds long enough for the persistor to run left an entity file to check.
    EXPECT_GT(killed_with_files, 0);
}

}  // namespace
}  // namespace qz::systest
