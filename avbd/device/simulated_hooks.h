// The card's device hooks on a simulated card, for tests, benchmarks and fuzz targets that run
// the AVDECC entity with the real device layer but without hardware.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "avbd/device/card_hooks.h"
#include "avbd/device/card_slot.h"
#include "avbd/device/device_request.h"
#include "support/channel.h"

namespace qz::avbd {

class SimulatedCardHooks {
public:
    // Aborts when the simulated card cannot be built (a broken test set-up, not a test result).
    explicit SimulatedCardHooks(std::optional<std::vector<std::uint8_t>> logo);

    CardDeviceHooks& get() { return *hooks_; }

    // Throws away the device requests the hooks queued (long-running callers keep memory flat).
    void drain_requests();

private:
    std::unique_ptr<CardSlot> slot_;
    std::optional<Receiver<DeviceRequest>> requests_;
    std::unique_ptr<CardDeviceHooks> hooks_;
};

}  // namespace qz::avbd
