// Controllers registered for unsolicited notifications, the liveness probe that drops the ones
// that went away, and the sending of notifications (with the GET_COUNTERS throttle).
//
// A registered controller is probed with CONTROLLER_AVAILABLE when it has not been heard of for
// 30 to 60 seconds (the spread keeps many controllers from being probed in the same tick). A probe
// unanswered for 250 ms is sent once more; a second silence deregisters the controller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "libnet/frame_sender.h"
#include "packet/field.h"
#include "support/clock.h"
#include "support/random.h"

namespace qz::strimo::avdecc::commands {

enum class SubscriberState : std::uint16_t {
    Monitoring = 0,
    AwaitingResponse = 1,
    AwaitingRetryResponse = 2,
};

struct Subscriber {
    SubscriberState state{SubscriberState::Monitoring};
    std::uint16_t probe_sequence_id{0};
    std::optional<Instant> deadline;
    std::vector<std::uint8_t> probe;  // the CONTROLLER_AVAILABLE command last sent
    std::uint64_t controller_entity_id{0};
    std::size_t port{0};
    packet::Bytes6 mac{};
    std::uint16_t notification_sequence{0};
};

// Whether a SUCCESS response of this command type goes to the subscribers.
bool is_notified_command(std::uint16_t command_type);

class Notifier {
public:
    Notifier(net::FrameSender& sender, RandomSource& random) : sender_(sender), random_(random) {}

    // At most this many subscriptions: each costs memory and a probe, and registrations come from
    // the network, where anyone can send them under any controller ID.
    static constexpr std::size_t kMaxSubscribers = 64;

    // REGISTER_UNSOLICITED_NOTIFICATION: one subscriber per (port, controller). False when the
    // list is full and the controller is not in it.
    bool register_controller(std::size_t port, const packet::Bytes6& mac,
                             std::uint64_t controller_entity_id, Instant now);
    // DEREGISTER_UNSOLICITED_NOTIFICATION: every subscription of that controller, on any port.
    void deregister_controller(std::uint64_t controller_entity_id);

    // Any AECP command from a controller: a subscriber that talks is alive.
    void controller_seen(std::size_t port, const packet::Bytes6& mac,
                         std::uint64_t controller_entity_id, Instant now);
    // An AEM_RESPONSE to CONTROLLER_AVAILABLE (the frame's length was checked by the caller).
    void controller_available_response(std::size_t port, std::span<const std::uint8_t> frame,
                                       Instant now);

    // The response to every subscriber except the controller that asked for the change.
    void notify_response(std::span<const std::uint8_t> response, std::uint64_t requester);
    // The frame to every subscriber.
    void notify(std::span<const std::uint8_t> response);
    // A GET_COUNTERS response of one descriptor: sent at once when the last one of that
    // descriptor is at least a second old, otherwise held (replacing an older held one) until
    // the second has passed.
    void notify_counters(std::uint16_t descriptor_type, std::uint16_t descriptor_index,
                         std::vector<std::uint8_t> response, Instant now);

    // Subscriber monitoring, then the held counters notifications whose second has passed.
    // `entity_id` is this entity's, the sender of the probes.
    void tick(std::uint64_t entity_id, Instant now);

    const std::vector<Subscriber>& subscribers() const { return subscribers_; }
    std::size_t held_counters() const { return held_.size(); }

private:
    using DescriptorKey = std::pair<std::uint16_t, std::uint16_t>;

    Duration monitor_interval();
    void send_copy(Subscriber& subscriber, std::span<const std::uint8_t> response);
    void send_counters(const DescriptorKey& key, std::span<const std::uint8_t> response,
                       Instant now);
    // Returns false when the subscriber is to be removed.
    bool monitor(Subscriber& subscriber, std::uint64_t entity_id, Instant now);

    net::FrameSender& sender_;
    RandomSource& random_;
    std::vector<Subscriber> subscribers_;
    std::uint16_t command_sequence_{0};
    std::map<DescriptorKey, Instant> last_counters_;
    std::map<DescriptorKey, std::vector<std::uint8_t>> held_;
};

}  // namespace qz::strimo::avdecc::commands
