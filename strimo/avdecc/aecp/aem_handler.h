// The AEM command handler: checks a command, decides whether the controller may change the
// entity (the 60-second lock), reads or changes the entity model, asks the device layer to apply
// changes, and builds the response.
//
// It only builds frames: the owner (AvdeccEntity) sends the response, hands a notified SUCCESS to
// the subscribers and runs a reboot action afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "packet/aem_names.h"
#include "strimo/avdecc/aecp/counters.h"
#include "strimo/avdecc/aecp/notifications.h"
#include "strimo/avdecc/aecp/stream_runtime.h"
#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/device_hooks.h"
#include "strimo/avdecc/entity/entity_model.h"
#include "strimo/gptp/gptp_monitor.h"
#include "support/clock.h"

namespace qz::strimo::avdecc::commands {

constexpr std::string_view kAemTarget = "strimo::avdecc::aecp::aem";
constexpr std::uint32_t kLockFlagUnlock = 0x00000001;

struct Reply {
    std::vector<std::uint8_t> frame;
    // A SUCCESS of a state-changing command: the other subscribers get a copy.
    bool notify{false};
    // Run once the response is on the wire (REBOOT).
    RebootAction after;
};

// The AEM status of an entity error, with the warning the mapping logs.
packet::aem::Status status_of(const Error& error);

class AemHandler {
public:
    AemHandler(entity::EntityModel& model, DeviceHooks& hooks, Notifier& notifier,
               Counters& counters, StreamRuntime& runtime);

    // gPTP state for GET_AVB_INFO and GET_AS_PATH; without it the ports have no grandmaster.
    void set_gptp(const gptp::GptpMonitor* gptp) { gptp_ = gptp; }

    // An AEM_COMMAND for this entity (at least 38 bytes with control_data_length >= 12, checked
    // by the receive path). PacketInvalid when the payload is shorter than the command needs.
    std::expected<Reply, Error> handle(std::size_t port, std::span<const std::uint8_t> command,
                                       Instant now);

    // The controller that holds the lock, if the lock has not run out.
    std::optional<std::uint64_t> lock_holder(Instant now) const;
    // Clears a lock whose deadline has passed and returns the unsolicited LOCK_ENTITY (UNLOCK,
    // ENTITY 0) response to send to every subscriber.
    std::optional<std::vector<std::uint8_t>> expire_lock(std::uint64_t entity_id, Instant now);

    // The response a GET command of one item gives (GET_SAMPLING_RATE, GET_CLOCK_SOURCE,
    // GET_CONTROL, GET_COUNTERS, GET_AVB_INFO, GET_AS_PATH, GET_STREAM_INFO, GET_STREAM_FORMAT),
    // built as if a command without a controller had asked.
    std::expected<std::vector<std::uint8_t>, Error> get_response(std::uint64_t entity_id,
                                                                 std::uint16_t command_type,
                                                                 std::uint16_t descriptor_type,
                                                                 std::uint16_t descriptor_index,
                                                                 Instant now);

private:
    struct Command;
    std::expected<Reply, Error> dispatch(Command& c);

    entity::EntityModel& model_;
    DeviceHooks& hooks_;
    Notifier& notifier_;
    Counters& counters_;
    StreamRuntime& runtime_;
    const gptp::GptpMonitor* gptp_{nullptr};
    std::optional<std::uint64_t> lock_holder_;
    Instant lock_deadline_{};
    std::uint16_t operation_id_{0};
};

}  // namespace qz::strimo::avdecc::commands
