#include "avbd/persist/persistor.h"

#include <thread>

#include "avbd/persist/files.h"
#include "strimo/avdecc/entity/json.h"
#include "support/log.h"

namespace qz::avbd::persist {

void EntitySlot::put(strimo::avdecc::entity::Entity entity) {
    std::lock_guard lock(mutex_);
    snapshot_ = std::move(entity);
}

std::optional<strimo::avdecc::entity::Entity> EntitySlot::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(snapshot_, std::nullopt);
}

void EntitySlot::close() {
    std::lock_guard write(write_mutex_);
    closed_ = true;
}

bool persist_once(EntitySlot& slot, const std::string& path) {
    std::lock_guard write(slot.write_mutex_);
    if (slot.closed_) {
        return false;
    }
    auto snapshot = slot.take();
    if (!snapshot) {
        return false;
    }
    // Serialising happens outside the slot's lock: the main thread may put the next snapshot
    // meanwhile.
    const std::string text = strimo::avdecc::entity::save(*snapshot);
    if (auto written = write_file_atomically(path, text); !written) {
        log::error("qzel_avbd::persistor", "Failed to persist entity: {}", written.error());
    }
    return true;
}

void start_entity_persistor(std::shared_ptr<EntitySlot> slot, std::string path,
                            std::chrono::milliseconds period) {
    std::thread([slot = std::move(slot), path = std::move(path), period] {
        for (;;) {
            persist_once(*slot, path);
            std::this_thread::sleep_for(period);
        }
    }).detach();
}

}  // namespace qz::avbd::persist
