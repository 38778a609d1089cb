#include "strimo/avdecc/aecp/notifications.h"

#include <algorithm>
#include <array>

#include "packet/aecp.h"
#include "support/log.h"

namespace qz::strimo::avdecc::commands {
namespace {

using namespace packet;
using namespace std::chrono_literals;

constexpr std::string_view kTarget = "strimo::avdecc::aecp::aem::notifications";
constexpr Duration kProbeTimeout = 250ms;
constexpr Duration kCountersInterval = 1s;

constexpr std::array<std::uint16_t, 34> kNotified{0,  1,  5,  6,  8,  10, 12, 14, 16, 18, 20, 22,
                                                  24, 26, 27, 28, 30, 32, 34, 35, 42, 44, 45, 47,
                                                  48, 50, 51, 71, 76, 78, 80, 88, 94, 96};

// A CONTROLLER_AVAILABLE command (no payload) from this entity to a controller.
std::vector<std::uint8_t> probe_frame(const Subscriber& subscriber, std::uint64_t entity_id,
                                      std::uint16_t sequence_id) {
    std::vector<std::uint8_t> frame(aem::kPayloadOffset, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, subscriber.mac);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(aecp::MessageType::AEM_COMMAND));
    (void)set(out, avtp::kControlDataLength, static_cast<std::uint16_t>(aem::kHeaderControlData));
    (void)set(out, aecp::kTargetEntityId, subscriber.controller_entity_id);
    (void)set(out, aecp::kControllerEntityId, entity_id);
    (void)set(out, aecp::kSequenceId, sequence_id);
    (void)set(out, aem::kCommandType, aem::to_u16(aem::CommandType::CONTROLLER_AVAILABLE));
    return frame;
}

}  // namespace

bool is_notified_command(std::uint16_t command_type) {
    return std::find(kNotified.begin(), kNotified.end(), command_type) != kNotified.end();
}

Duration Notifier::monitor_interval() {
    return 30s + std::chrono::milliseconds(random_.below(30001));
}

bool Notifier::register_controller(std::size_t port, const Bytes6& mac,
                                   std::uint64_t controller_entity_id, Instant now) {
    const bool known = std::any_of(subscribers_.begin(), subscribers_.end(), [&](const auto& s) {
        return s.port == port && s.controller_entity_id == controller_entity_id;
    });
    if (known) {
        return true;
    }
    if (subscribers_.size() >= kMaxSubscribers) {
        log::warn(kTarget, "No room to register controller {:#018x} for notifications",
                  controller_entity_id);
        return false;
    }
    Subscriber subscriber;
    subscriber.deadline = now + monitor_interval();
    subscriber.controller_entity_id = controller_entity_id;
    subscriber.port = port;
    subscriber.mac = mac;
    subscribers_.push_back(std::move(subscriber));
    return true;
}

void Notifier::deregister_controller(std::uint64_t controller_entity_id) {
    std::erase_if(subscribers_,
                  [&](const auto& s) { return s.controller_entity_id == controller_entity_id; });
}

void Notifier::controller_seen(std::size_t port, const Bytes6& mac,
                               std::uint64_t controller_entity_id, Instant now) {
    for (auto& s : subscribers_) {
        if (s.port == port && s.mac == mac && s.controller_entity_id == controller_entity_id) {
            log::debug(kTarget, "Saw controller {:#018x}", controller_entity_id);
            if (s.state == SubscriberState::Monitoring) {
                s.deadline = now + monitor_interval();
            }
        }
    }
}

void Notifier::controller_available_response(std::size_t port, std::span<const std::uint8_t> frame,
                                             Instant now) {
    const auto mac = get(frame, eth::kSource);
    // The response comes from the controller: it is the target of the probe.
    const auto controller = get(frame, aecp::kTargetEntityId);
    const auto sequence = get(frame, aecp::kSequenceId);
    if (!mac || !controller || !sequence) {
        return;
    }
    for (auto& s : subscribers_) {
        if (s.port == port && s.mac == *mac && s.controller_entity_id == *controller &&
            s.state != SubscriberState::Monitoring && s.probe_sequence_id == *sequence) {
            log::debug(kTarget, "Received CONTROLLER_AVAILABLE for {:#018x}", *controller);
            s.state = SubscriberState::Monitoring;
            s.deadline = now + monitor_interval();
        }
    }
}

void Notifier::send_copy(Subscriber& subscriber, std::span<const std::uint8_t> response) {
    auto copy = aem::make_unsolicited(response, subscriber.controller_entity_id, subscriber.mac,
                                      subscriber.notification_sequence);
    if (!copy) {
        log::error(kTarget, "Building unsolicited notification failed: {}", copy.error().text());
        return;
    }
    ++subscriber.notification_sequence;
    sender_.send(subscriber.port, *copy);
}

void Notifier::notify_response(std::span<const std::uint8_t> response, std::uint64_t requester) {
    log::trace(kTarget, "send unsolicited notification to {} subscribers", subscribers_.size());
    for (auto& s : subscribers_) {
        if (s.controller_entity_id != requester) {
            send_copy(s, response);
        }
    }
}

void Notifier::notify(std::span<const std::uint8_t> response) {
    log::trace(kTarget, "send unsolicited notification to {} subscribers", subscribers_.size());
    for (auto& s : subscribers_) {
        send_copy(s, response);
    }
}

void Notifier::send_counters(const DescriptorKey& key, std::span<const std::uint8_t> response,
                             Instant now) {
    last_counters_[key] = now;
    notify(response);
}

void Notifier::notify_counters(std::uint16_t descriptor_type, std::uint16_t descriptor_index,
                               std::vector<std::uint8_t> response, Instant now) {
    const DescriptorKey key{descriptor_type, descriptor_index};
    auto last = last_counters_.find(key);
    if (last == last_counters_.end() || now - last->second >= kCountersInterval) {
        held_.erase(key);
        send_counters(key, response, now);
        return;
    }
    held_[key] = std::move(response);
}

bool Notifier::monitor(Subscriber& s, std::uint64_t entity_id, Instant now) {
    if (!s.deadline || now < *s.deadline) {
        return true;
    }
    switch (s.state) {
        case SubscriberState::Monitoring:
            log::trace(kTarget, "Monitor timeout for controller {:#018x}", s.controller_entity_id);
            s.probe_sequence_id = command_sequence_++;
            s.probe = probe_frame(s, entity_id, s.probe_sequence_id);
            sender_.send(s.port, s.probe);
            s.state = SubscriberState::AwaitingResponse;
            s.deadline = now + kProbeTimeout;
            return true;
        case SubscriberState::AwaitingResponse:
            log::trace(kTarget, "Response timeout (initial) for controller {:#018x}",
                       s.controller_entity_id);
            sender_.send(s.port, s.probe);
            s.state = SubscriberState::AwaitingRetryResponse;
            s.deadline = now + kProbeTimeout;
            return true;
        case SubscriberState::AwaitingRetryResponse: {
            log::trace(kTarget, "Response timeout (retry) for controller {:#018x}",
                       s.controller_entity_id);
            // Tell the controller it is no longer registered: the probe turned into an
            // unsolicited DEREGISTER response with the subscriber's own sequence.
            auto goodbye = aem::make_response(s.probe, aem::Status::SUCCESS, 0);
            if (goodbye) {
                std::span<std::uint8_t> out(*goodbye);
                (void)set(out, eth::kDestination, s.mac);
                (void)set(out, aem::kCommandType,
                          aem::to_u16(aem::CommandType::DEREGISTER_UNSOLICITED_NOTIFICATION));
                (void)set(out, aecp::kTargetEntityId, entity_id);
                send_copy(s, *goodbye);
            }
            log::debug(kTarget,
                       "CONTROLLER_AVAILABLE timeout for {:#018x}: deregistering from "
                       "notifications",
                       s.controller_entity_id);
            return false;
        }
    }
    return true;
}

void Notifier::tick(std::uint64_t entity_id, Instant now) {
    std::erase_if(subscribers_, [&](Subscriber& s) { return !monitor(s, entity_id, now); });
    for (auto it = held_.begin(); it != held_.end();) {
        auto last = last_counters_.find(it->first);
        if (last == last_counters_.end() || now - last->second >= kCountersInterval) {
            const auto key = it->first;
            auto frame = std::move(it->second);
            it = held_.erase(it);
            send_counters(key, frame, now);
        } else {
            ++it;
        }
    }
}

}  // namespace qz::strimo::avdecc::commands
