// How long the entity persistor takes for the card's whole model: serialising it to compact JSON,
// writing it through the synced temporary file, and reading it back at start. Figures only; no
// assertion depends on them.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "avbd/device/entity.h"
#include "avbd/persist/files.h"
#include "avbd/persist/restore.h"
#include "strimo/avdecc/entity/json.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void report(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&samples](double q) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    std::printf("%-34s p50 %8.0f us   p99 %8.0f us   (%zu runs)\n", what, at(0.5), at(0.99),
                samples.size());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qz;
    // The temporary directory decides which file system is measured; pass one on the card's
    // kind of storage to compare.
    const std::string base = argc > 1 ? argv[1] : "/tmp";
    std::string pattern = base + "/persist_bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const auto entity = avbd::build_card_entity(avbd::default_oem_values("QZ000042", "1.2.3-v4"),
                                                {0x02, 0, 0, 0, 0, 1}, {0x02, 0, 0, 0, 0, 2});
    const std::string path = avbd::persist::join_path(dir, "current.json");
    constexpr int kRuns = 50;
    std::vector<double> serialise, write, total, restore;
    std::size_t size = 0;
    for (int i = 0; i < kRuns; ++i) {
        const auto t0 = Clock::now();
        const std::string text = strimo::avdecc::entity::save(entity);
        const auto t1 = Clock::now();
        if (!avbd::persist::write_file_atomically(path, text)) {
            std::fprintf(stderr, "write failed\n");
            return 1;
        }
        const auto t2 = Clock::now();
        const auto restored = avbd::persist::restore_entity_values(entity, dir);
        const auto t3 = Clock::now();
        if (restored != entity) {
            std::fprintf(stderr, "restored entity differs\n");
            return 1;
        }
        size = text.size();
        serialise.push_back(micros(t1 - t0));
        write.push_back(micros(t2 - t1));
        total.push_back(micros(t2 - t0));
        restore.push_back(micros(t3 - t2));
    }
    std::printf("card entity model: %zu bytes of JSON\n", size);
    report("serialise (compact JSON)", serialise);
    report("write (temporary, fsync, rename)", write);
    report("serialise + write", total);
    report("read back and restore at start", restore);
    std::filesystem::remove_all(dir);
    return 0;
}
