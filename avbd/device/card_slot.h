// The card object behind its mutex: every access takes the lock for that one access only.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <mutex>

#include "qzel_device/avb/card.h"
#include "qzel_device/par_ctrl_intf.h"

namespace qz::avbd {

class CardSlot {
public:
    // `keep_alive` holds whatever the card's parts need beyond the card object (the simulated
    // hardware, for one).
    explicit CardSlot(std::unique_ptr<device::avb::Card> card,
                      std::shared_ptr<void> keep_alive = nullptr)
        : keep_alive_(std::move(keep_alive)), card_(std::move(card)) {}

    template <typename F>
    auto with(F&& f) {
        std::lock_guard lock(mutex_);
        return f(*card_);
    }

private:
    // Declared first so the card's parts outlive the card object.
    std::shared_ptr<void> keep_alive_;
    std::mutex mutex_;
    std::unique_ptr<device::avb::Card> card_;
};

// What opening the card gives the daemon: the card object, the daemon's own mapping of the
// control link, and whatever both need kept alive.
struct OpenedCard {
    std::unique_ptr<device::avb::Card> card;
    std::unique_ptr<device::LinkPort> link;
    std::shared_ptr<void> keep_alive;
};

using CardOpener = std::function<std::expected<OpenedCard, device::Error>()>;

// The card's real hardware: "/dev/mem" register windows, I2C, GPIO and SPI devices.
std::expected<OpenedCard, device::Error> open_hardware_card();

}  // namespace qz::avbd
