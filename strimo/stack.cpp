#include "strimo/stack.h"

#include "support/log.h"

namespace qz::strimo {

Stack::Stack(net::FrameSender& sender, std::array<net::MacAddress, kPortCount> port_macs,
             Instant start_time)
    : sender_(sender), port_macs_(port_macs), start_time_(start_time) {}

void Stack::attach_entity(avdecc::entity::Entity entity, avdecc::DeviceHooks& hooks) {
    entity_ = std::make_unique<avdecc::AvdeccEntity>(avdecc::entity::EntityModel(std::move(entity)),
                                                     hooks, sender_);
}

void Stack::frame_entry(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now) {
    auto& counters = counters_.at(port_index);
    ++counters.received;
    const auto route = route_frame(frame, port_macs_.at(port_index));
    count(counters, route);
    const bool avdecc =
        route == FrameRoute::Adp || route == FrameRoute::Aecp || route == FrameRoute::Acmp;
    if (avdecc && entity_) {
        if (auto received = entity_->receive(port_index, frame, now); !received) {
            log::debug("strimo::avdecc", "AVDECC frame on port {} dropped: {}", port_index,
                       received.error().text());
        }
        return;
    }
    if (route == FrameRoute::AvtpOther) {
        if (frame.size() > kAvtpSubtypeOffset) {
            log::debug("strimo::avdecc", "unrecognized AVTP packet with subtype: {}",
                       frame[kAvtpSubtypeOffset]);
        } else {
            log::debug("strimo::avdecc", "AVTP frame of {} bytes carries no subtype", frame.size());
        }
    }
}

void Stack::count(FrameCounters& counters, FrameRoute route) {
    switch (route) {
        case FrameRoute::Ignored:
            ++counters.ignored;
            break;
        case FrameRoute::Msrp:
            ++counters.msrp;
            break;
        case FrameRoute::Mvrp:
            ++counters.mvrp;
            break;
        case FrameRoute::Adp:
            ++counters.adp;
            break;
        case FrameRoute::Aecp:
            ++counters.aecp;
            break;
        case FrameRoute::Acmp:
            ++counters.acmp;
            break;
        case FrameRoute::Maap:
            ++counters.maap;
            break;
        case FrameRoute::AvtpOther:
            ++counters.avtp_other;
            break;
        case FrameRoute::Ptp:
            ++counters.ptp;
            break;
    }
}

void Stack::bring_up_port(std::size_t port_index, Instant /*now*/) {
    brought_up_.at(port_index) = true;
}

void Stack::link_up(std::size_t port_index, Instant /*now*/) {
    link_.at(port_index) = true;
}

void Stack::link_down(std::size_t port_index, Instant /*now*/) {
    link_.at(port_index) = false;
    log::info("strimo", "Link down. Disable streams and reset state machines");
}

std::expected<void, StackError> Stack::periodic(Instant /*now*/) {
    return {};
}

void Stack::mrp_tick(Instant /*now*/) {}

void Stack::depart_all() {}

}  // namespace qz::strimo
