#include "avbd/device/card_slot.h"
#include "qzel_device/avb/regs.h"

namespace qz::avbd {

std::expected<OpenedCard, device::Error> open_hardware_card() {
    // The card's waits are real sleeps; the sleeper lives as long as the card.
    auto sleeper = std::make_shared<device::ThreadSleeper>();
    auto parts = device::open_hardware_parts(device::CardPaths{}, *sleeper, true);
    if (!parts) {
        return std::unexpected(parts.error());
    }
    auto core = parts->map_window(device::avb::kCoreBase, device::avb::kCoreLength);
    if (!core) {
        return std::unexpected(device::Error{device::ErrorKind::Io, core.error().text()});
    }
    auto link = std::make_unique<device::AvbLinkPort>(std::move(*core), *sleeper);
    auto card = device::avb::Card::open(std::move(*parts));
    if (!card) {
        return std::unexpected(card.error());
    }
    return OpenedCard{std::move(*card), std::move(link), sleeper};
}

}  // namespace qz::avbd
