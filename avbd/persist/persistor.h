// The entity persistor: the main thread drops the latest model snapshot into a slot, and a
// thread of its own writes it to "current.json" at most every 2 s, so the main loop never waits
// for the file.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "strimo/avdecc/entity/model.h"

namespace qz::avbd::persist {

inline constexpr std::string_view kEntityFile = "current.json";
inline constexpr std::chrono::milliseconds kPersistPeriod{2000};

// A snapshot waiting to be written; a newer one replaces one not yet written.
class EntitySlot {
public:
    void put(strimo::avdecc::entity::Entity entity);
    std::optional<strimo::avdecc::entity::Entity> take();

    // Waits for a write in progress and lets no further one start. A factory reset calls it
    // before deleting the files, so a write already under way cannot bring "current.json"
    // back after the deletion.
    void close();

private:
    friend bool persist_once(EntitySlot& slot, const std::string& path);
    std::mutex mutex_;
    std::optional<strimo::avdecc::entity::Entity> snapshot_;
    // Held for a whole write; never by the main thread except in close().
    std::mutex write_mutex_;
    bool closed_{false};
};

// One round of the persistor: takes the snapshot, if any, and writes it to `path`. Returns
// whether a snapshot was taken; a failed write is logged and the snapshot dropped.
bool persist_once(EntitySlot& slot, const std::string& path);

// Starts the detached persistor thread: persist_once, then sleep `period`, for ever.
void start_entity_persistor(std::shared_ptr<EntitySlot> slot, std::string path,
                            std::chrono::milliseconds period = kPersistPeriod);

}  // namespace qz::avbd::persist
