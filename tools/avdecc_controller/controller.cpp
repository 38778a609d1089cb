#include "tools/avdecc_controller/controller.h"

#include <fmt/format.h>

#include <algorithm>

#include "packet/adp.h"

namespace qz::ctl {
namespace {

using namespace packet;
using Clock = std::chrono::steady_clock;

bool is_aecp(const Frame& frame) {
    return get(frame, avtp::kSubtypeByte).value_or(0) == kSubtypeByteAecp;
}

}  // namespace

std::expected<std::vector<DiscoveredEntity>, std::string> Controller::discover(
    std::chrono::milliseconds listen, const std::function<bool(const DiscoveredEntity&)>& wanted) {
    auto discover = adp::make_frame(adp::MessageType::ENTITY_DISCOVER);
    if (auto sent = link_.send(discover); !sent) {
        return std::unexpected(sent.error());
    }
    std::vector<DiscoveredEntity> found;
    const auto end = Clock::now() + listen;
    while (Clock::now() < end) {
        auto received = link_.receive(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!received) {
            return std::unexpected(received.error());
        }
        if (!*received || (*received)->empty()) {
            continue;
        }
        const auto& f = **received;
        if (get(f, avtp::kSubtypeByte).value_or(0) != kSubtypeByteAdp ||
            f.size() < adp::kFrameSize ||
            get(f, avtp::kMessageType).value_or(0xF) !=
                static_cast<std::uint16_t>(adp::MessageType::ENTITY_AVAILABLE)) {
            continue;
        }
        DiscoveredEntity e;
        e.entity_id = get(f, adp::kEntityId).value_or(0);
        if (std::any_of(found.begin(), found.end(),
                        [&](const auto& known) { return known.entity_id == e.entity_id; })) {
            continue;
        }
        e.entity_model_id = get(f, adp::kEntityModelId).value_or(0);
        e.mac = get(f, eth::kSource).value_or(Bytes6{});
        e.capabilities = get(f, adp::kEntityCapabilities).value_or(0);
        e.talker_sources = get(f, adp::kTalkerStreamSources).value_or(0);
        e.listener_sinks = get(f, adp::kListenerStreamSinks).value_or(0);
        e.grandmaster = get(f, adp::kGptpGrandmasterId).value_or(0);
        e.interface_index = get(f, adp::kInterfaceIndex).value_or(0);
        found.push_back(e);
        if (wanted && wanted(e)) {
            break;
        }
    }
    return found;
}

Frame Controller::new_command(aem::CommandType type, std::size_t payload) const {
    return aem_payload::make_command(target_.mac, link_.mac(), target_.entity_id, controller_id_, 0,
                                     aem::to_u16(type), payload);
}

std::expected<Frame, std::string> Controller::command(Frame frame,
                                                      std::chrono::milliseconds timeout,
                                                      int retries) {
    const auto sequence = sequence_++;
    std::span<std::uint8_t> out(frame);
    (void)set(out, aecp::kSequenceId, sequence);
    (void)set(out, aecp::kControllerEntityId, controller_id_);
    const auto type = get(frame, aem::kCommandType).value_or(0);
    for (int attempt = 0; attempt <= retries; ++attempt) {
        const auto sent_at = Clock::now();
        if (auto sent = link_.send(frame); !sent) {
            return std::unexpected(sent.error());
        }
        const auto end = sent_at + timeout;
        while (Clock::now() < end) {
            auto received = link_.receive(std::chrono::duration_cast<std::chrono::milliseconds>(
                end - Clock::now() + std::chrono::microseconds(999)));
            if (!received) {
                return std::unexpected(received.error());
            }
            if (!*received || (*received)->empty()) {
                continue;
            }
            const auto& f = **received;
            if (is_aecp(f) &&
                get(f, avtp::kMessageType).value_or(0) ==
                    static_cast<std::uint16_t>(aecp::MessageType::AEM_RESPONSE) &&
                get(f, aem::kUnsolicited).value_or(1) == 0 &&
                get(f, aecp::kControllerEntityId).value_or(0) == controller_id_ &&
                get(f, aecp::kTargetEntityId).value_or(0) == target_.entity_id &&
                get(f, aecp::kSequenceId).value_or(0) == sequence &&
                get(f, aem::kCommandType).value_or(0xFFFF) == type) {
                latencies_.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - sent_at).count());
                return f;
            }
            side_frame(f);
        }
        ++retries_;
    }
    return std::unexpected(fmt::format("{} to {:#018x}: no response after {} attempts",
                                       aem::command_type_name(type), target_.entity_id,
                                       retries + 1));
}

void Controller::side_frame(const Frame& f) {
    if (!is_aecp(f) || (get(f, aecp::kControllerEntityId).value_or(0) != controller_id_ &&
                        get(f, aecp::kTargetEntityId).value_or(0) != controller_id_)) {
        return;
    }
    const auto message_type = get(f, avtp::kMessageType).value_or(0xF);
    const auto type = get(f, aem::kCommandType).value_or(0);
    if (message_type == static_cast<std::uint16_t>(aecp::MessageType::AEM_COMMAND) &&
        type == aem::to_u16(aem::CommandType::CONTROLLER_AVAILABLE) &&
        get(f, aecp::kTargetEntityId).value_or(0) == controller_id_) {
        // The entity checks that we are still here.
        if (auto response = aem::make_response(f, aem::Status::SUCCESS, 0)) {
            (void)link_.send(*response);
        }
        return;
    }
    if (message_type == static_cast<std::uint16_t>(aecp::MessageType::AEM_RESPONSE) &&
        get(f, aem::kUnsolicited).value_or(0) == 1 && on_notification_) {
        on_notification_(f);
    }
}

std::expected<void, std::string> Controller::listen(
    std::chrono::milliseconds duration, const std::function<void(const Frame&)>& on_notification) {
    on_notification_ = on_notification;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        auto received = link_.receive(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!received) {
            return std::unexpected(received.error());
        }
        if (*received && !(*received)->empty()) {
            side_frame(**received);
        }
    }
    return {};
}

}  // namespace qz::ctl
