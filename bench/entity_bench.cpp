// Building the card entity, serialising its descriptors, its JSON form, and classifying AECP
// frames.
#include <benchmark/benchmark.h>

#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/device/simulated_hooks.h"
#include "packet/aecp.h"
#include "strimo/avdecc/avdecc_entity.h"
#include "strimo/avdecc/entity/descriptors.h"
#include "strimo/avdecc/entity/json.h"
#include "support/random.h"

namespace {

namespace model = qz::strimo::avdecc::entity;
using namespace qz::packet;

const qz::net::MacAddress kMac0{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const qz::net::MacAddress kMac1{0x00, 0x11, 0x22, 0x33, 0x44, 0x56};

qz::avbd::OemValues oem_with_logo() {
    auto oem = qz::avbd::default_oem_values("SN", "1.0.0-v1");
    oem.logo = std::vector<std::uint8_t>(16 * 1024, 0x5A);  // a 16 KiB PNG
    return oem;
}

void BM_BuildCardEntity(benchmark::State& state) {
    const auto oem = oem_with_logo();
    for (auto _ : state) {
        auto entity = qz::avbd::build_card_entity(oem, kMac0, kMac1);
        benchmark::DoNotOptimize(entity);
    }
}
BENCHMARK(BM_BuildCardEntity)->Unit(benchmark::kMicrosecond);

void BM_RebuildDescriptorCache(benchmark::State& state) {
    const auto entity = qz::avbd::build_card_entity(oem_with_logo(), kMac0, kMac1);
    std::size_t bytes = 0;
    std::size_t count = 0;
    for (auto _ : state) {
        auto cache = model::serialise(entity);
        bytes = cache.total_bytes();
        count = cache.descriptor_count();
        benchmark::DoNotOptimize(cache);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["descriptors"] = static_cast<double>(count);
}
BENCHMARK(BM_RebuildDescriptorCache)->Unit(benchmark::kMicrosecond);

void BM_SaveJson(benchmark::State& state) {
    const auto entity = qz::avbd::build_card_entity(oem_with_logo(), kMac0, kMac1);
    std::size_t size = 0;
    for (auto _ : state) {
        auto text = model::save(entity);
        size = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["json_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_SaveJson)->Unit(benchmark::kMillisecond);

void BM_LoadJson(benchmark::State& state) {
    const auto text = model::save(qz::avbd::build_card_entity(oem_with_logo(), kMac0, kMac1));
    for (auto _ : state) {
        auto entity = model::load(text);
        if (!entity) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(entity);
    }
    state.counters["json_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_LoadJson)->Unit(benchmark::kMillisecond);

struct NullSender final : qz::net::FrameSender {
    void send(std::size_t, std::span<const std::uint8_t> frame) override {
        benchmark::DoNotOptimize(frame.data());
    }
};

std::vector<std::uint8_t> aecp_frame(aecp::MessageType type, std::uint16_t length,
                                     std::uint64_t target) {
    std::vector<std::uint8_t> frame(kControlDataOffset + length, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, kAvdeccMulticast);
    (void)set(out, eth::kSource, Bytes6{0x02, 0, 0, 0, 0, 1});
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(type));
    (void)set(out, avtp::kControlDataLength, length);
    (void)set(out, aecp::kTargetEntityId, target);
    (void)set(out, aecp::kControllerEntityId, std::uint64_t{0xC0FFEE});
    return frame;
}

// arg 0: an AEM command handed on unanswered; arg 1: GET_MILAN_INFO, answered.
void BM_ClassifyAecp(benchmark::State& state) {
    const auto oem = oem_with_logo();
    auto entity = qz::avbd::build_card_entity(oem, kMac0, kMac1);
    const auto id = entity.entity_id;
    NullSender sender;
    qz::avbd::SimulatedCardHooks card(oem.logo);
    auto& hooks = card.get();
    qz::SeededRandom random(1);
    qz::strimo::avdecc::AvdeccEntity avdecc(model::EntityModel(std::move(entity)), hooks, sender,
                                            random);
    std::vector<std::uint8_t> frame;
    if (state.range(0) == 0) {
        frame = aecp_frame(aecp::MessageType::AEM_COMMAND, 20, id);
        (void)set(std::span<std::uint8_t>(frame), aem::kCommandType,
                  aem::to_u16(aem::CommandType::READ_DESCRIPTOR));
    } else {
        frame = aecp_frame(aecp::MessageType::VENDOR_UNIQUE_COMMAND, 20, id);
        (void)set(std::span<std::uint8_t>(frame), milan::kProtocolIdField, milan::kProtocolId);
    }
    for (auto _ : state) {
        auto received = avdecc.receive(0, frame, qz::Instant{});
        benchmark::DoNotOptimize(received);
    }
}
BENCHMARK(BM_ClassifyAecp)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
