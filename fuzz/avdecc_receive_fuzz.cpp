// Arbitrary bytes through the AVDECC receive classification of the card's entity, on to the AEM
// command handler and the notification sender. The first byte picks the port (bit 0) and how far
// the clock moves before the frame (bits 1-7, in 100 ms steps, so that locks run out and
// subscribers get probed); the rest is the frame. After each frame the entity's periodic step
// runs. Responses must fit a frame and never outgrow the largest AECP frame.
#include <cstddef>
#include <cstdint>
#include <span>

#include "avbd/device/card_hooks.h"
#include "avbd/device/entity.h"
#include "avbd/device/simulated_hooks.h"
#include "strimo/avdecc/avdecc_entity.h"

namespace {

struct CheckingSender final : qz::net::FrameSender {
    void send(std::size_t, std::span<const std::uint8_t> frame) override {
        if (frame.size() < 14 || frame.size() > 26 + 2047) {
            __builtin_trap();
        }
    }
};

struct Harness {
    Harness()
        : logo(std::vector<std::uint8_t>(300, 0x5A)),
          hooks(logo),
          entity(qz::strimo::avdecc::entity::EntityModel(qz::avbd::build_card_entity(
                     [&] {
                         auto oem = qz::avbd::default_oem_values("fuzz", "0.0.0-v0");
                         oem.logo = logo;
                         return oem;
                     }(),
                     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x00, 0x11, 0x22, 0x33, 0x44, 0x56})),
                 hooks.get(), sender, random) {}
    std::optional<std::vector<std::uint8_t>> logo;
    qz::avbd::SimulatedCardHooks hooks;
    CheckingSender sender;
    qz::SeededRandom random{7};
    qz::strimo::avdecc::AvdeccEntity entity;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    if (size == 0) {
        return 0;
    }
    static qz::Instant now{};
    now += std::chrono::milliseconds(100 * (data[0] >> 1));
    std::span<const std::uint8_t> frame(data + 1, size - 1);
    (void)harness.entity.receive(data[0] & 1U, frame, now);
    harness.entity.tick(now);
    harness.entity.notify_changed_streams(now);
    harness.hooks.drain_requests();
    return 0;
}
