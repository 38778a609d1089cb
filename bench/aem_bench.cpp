// In-process cost of answering AEM commands on the card's entity: READ_DESCRIPTOR from the
// descriptor cache, GET_COUNTERS, and a GET_COUNTERS notification to four subscribers. Each
// iteration is one whole receive: classification, handler, response built and handed to the
// sender (which drops it).
#include <benchmark/benchmark.h>

#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/device/simulated_hooks.h"
#include "packet/aem_payloads.h"
#include "strimo/avdecc/avdecc_entity.h"

namespace {

using namespace qz;
using namespace qz::packet;
using namespace qz::packet::aem_payload;

constexpr net::MacAddress kPort0{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr net::MacAddress kPort1{0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
constexpr Bytes6 kController{0x02, 0, 0, 0, 0, 0x01};

struct DroppingSender final : net::FrameSender {
    void send(std::size_t, std::span<const std::uint8_t> frame) override { bytes += frame.size(); }
    std::size_t bytes{0};
};

struct Card {
    Card()
        : hooks(std::nullopt),
          entity(strimo::avdecc::entity::EntityModel(avbd::build_card_entity(
                     avbd::default_oem_values("SN", "1.0"), kPort0, kPort1)),
                 hooks.get(), sender, random) {}
    avbd::SimulatedCardHooks hooks;
    DroppingSender sender;
    SeededRandom random{1};
    strimo::avdecc::AvdeccEntity entity;
};

std::vector<std::uint8_t> command(Card& card, aem::CommandType type, std::size_t payload) {
    return make_command(kPort0, kController, card.entity.entity_id(), 0xC0FFEE, 1,
                        aem::to_u16(type), payload);
}

void read_descriptor(benchmark::State& state, aem::DescriptorType type, std::uint16_t index) {
    Card card;
    auto frame = command(card, aem::CommandType::READ_DESCRIPTOR, kReadDescriptorPayload);
    (void)set(std::span<std::uint8_t>(frame), kReadDescriptorType, aem::to_u16(type));
    (void)set(std::span<std::uint8_t>(frame), kReadDescriptorIndex, index);
    (void)card.entity.receive(0, frame, Instant{});  // builds the cache once
    for (auto _ : state) {
        auto received = card.entity.receive(0, frame, Instant{});
        benchmark::DoNotOptimize(received);
    }
    state.counters["response_bytes"] =
        static_cast<double>(card.sender.bytes) / static_cast<double>(state.iterations() + 1);
}

void BM_ReadDescriptorCachedStreamInput(benchmark::State& state) {
    read_descriptor(state, aem::DescriptorType::STREAM_INPUT, 7);
}
void BM_ReadDescriptorCachedAudioCluster(benchmark::State& state) {
    read_descriptor(state, aem::DescriptorType::AUDIO_CLUSTER, 900);
}
void BM_ReadDescriptorCachedEntity(benchmark::State& state) {
    read_descriptor(state, aem::DescriptorType::ENTITY, 0);
}

void BM_GetCounters(benchmark::State& state) {
    Card card;
    auto frame = command(card, aem::CommandType::GET_COUNTERS, 4);
    (void)set(std::span<std::uint8_t>(frame), kDescriptorType,
              aem::to_u16(aem::DescriptorType::STREAM_INPUT));
    (void)set(std::span<std::uint8_t>(frame), kDescriptorIndex, std::uint16_t{3});
    for (auto _ : state) {
        auto received = card.entity.receive(0, frame, Instant{});
        benchmark::DoNotOptimize(received);
    }
}

// The device loop's once-a-second path: store a counter, notify four subscribers (the throttle
// lets every call through because each is a second after the last).
void BM_GetCountersNotification(benchmark::State& state) {
    Card card;
    for (std::uint8_t i = 0; i < 4; ++i) {
        auto frame = make_command(
            kPort0, Bytes6{0x02, 0, 0, 0, 1, i}, card.entity.entity_id(), 0xC0FFEE00 + i, 1,
            aem::to_u16(aem::CommandType::REGISTER_UNSOLICITED_NOTIFICATION), 0);
        (void)card.entity.receive(0, frame, Instant{});
    }
    Instant now{};
    std::uint32_t value = 0;
    const auto input = aem::to_u16(aem::DescriptorType::STREAM_INPUT);
    for (auto _ : state) {
        now += std::chrono::seconds(1);
        card.entity.counters().set(input, 3, 11, ++value);
        card.entity.notify_unsolicited(aem::to_u16(aem::CommandType::GET_COUNTERS), input, 3, now);
    }
}

BENCHMARK(BM_ReadDescriptorCachedStreamInput);
BENCHMARK(BM_ReadDescriptorCachedAudioCluster);
BENCHMARK(BM_ReadDescriptorCachedEntity);
BENCHMARK(BM_GetCounters);
BENCHMARK(BM_GetCountersNotification);

}  // namespace

BENCHMARK_MAIN();
