#include "avbd/device/simulated_hooks.h"

#include "sim/card.h"
#include "support/fatal.h"

namespace qz::avbd {

SimulatedCardHooks::SimulatedCardHooks(std::optional<std::vector<std::uint8_t>> logo) {
    auto opened = sim::SimMilanCard::open();
    if (!opened) {
        fatal("cannot build the simulated card");
    }
    std::shared_ptr<sim::SimMilanCard> simulated = std::move(*opened);
    auto card = std::move(simulated->card);
    slot_ = std::make_unique<CardSlot>(std::move(card), simulated);
    auto [sender, receiver] = make_channel<DeviceRequest>(0);
    requests_.emplace(std::move(receiver));
    hooks_ = std::make_unique<CardDeviceHooks>(*slot_, std::move(sender), std::move(logo), nullptr);
}

void SimulatedCardHooks::drain_requests() {
    while (requests_->try_recv().status == RecvStatus::Message) {
    }
}

}  // namespace qz::avbd
