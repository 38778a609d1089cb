#include "strimo/stack.h"

#include "packet/adp.h"
#include "support/log.h"

namespace qz::strimo {

Stack::Stack(net::FrameSender& sender, RandomSource& random,
             std::array<net::MacAddress, kPortCount> port_macs, Instant start_time)
    : sender_(sender),
      random_(random),
      port_macs_(port_macs),
      start_time_(start_time),
      gptp_(
          {ptp::clock_identity_from_mac(port_macs[0]), ptp::clock_identity_from_mac(port_macs[1])}),
      advertisers_{avdecc::adp::Advertiser(0, random), avdecc::adp::Advertiser(1, random)} {}

void Stack::attach_entity(avdecc::entity::Entity entity, avdecc::DeviceHooks& hooks) {
    entity_ = std::make_unique<avdecc::AvdeccEntity>(avdecc::entity::EntityModel(std::move(entity)),
                                                     hooks, sender_, random_);
    entity_->set_gptp(&gptp_);
}

void Stack::frame_entry(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now) {
    auto& counters = counters_.at(port_index);
    ++counters.received;
    const auto route = route_frame(frame, port_macs_.at(port_index));
    count(counters, route);
    const bool avdecc =
        route == FrameRoute::Adp || route == FrameRoute::Aecp || route == FrameRoute::Acmp;
    if (avdecc && entity_) {
        receive_avdecc(port_index, frame, now);
        return;
    }
    if (route == FrameRoute::Ptp) {
        receive_ptp(port_index, frame, now);
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

void Stack::receive_avdecc(std::size_t port_index, std::span<const std::uint8_t> frame,
                           Instant now) {
    auto received = entity_->receive(port_index, frame, now);
    if (!received) {
        log::debug("strimo::avdecc", "AVDECC frame on port {} dropped: {}", port_index,
                   received.error().text());
        return;
    }
    auto& database = databases_.at(port_index);
    if (*received == avdecc::Received::AdpEntityAvailable) {
        database.available_received(frame, now);
    } else if (*received == avdecc::Received::AdpEntityDeparting) {
        database.departing_received(packet::get(frame, packet::adp::kEntityId).value_or(0));
    }
}

void Stack::receive_ptp(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now) {
    auto change = gptp_.on_announce(port_index, frame);
    if (!change) {
        log::warn("strimo", "Processing PTP announce msg failed: {}", change.error().text());
        return;
    }
    if (change->grandmaster_changed) {
        grandmaster_changed(port_index, now);
    }
}

void Stack::port_data_set(std::size_t port_index, const ptp::PortDataSet& set, Instant now) {
    const auto change = gptp_.on_port_data_set(port_index, set);
    if (change.grandmaster_changed) {
        grandmaster_changed(port_index, now);
    }
}

void Stack::grandmaster_changed(std::size_t port_index, Instant now) {
    if (const auto& id = gptp_.port(port_index).grandmaster_id) {
        advertisers_.at(port_index).grandmaster_changed(*id, now);
    }
    if (entity_) {
        entity_->grandmaster_changed(port_index, now);
    }
}

void Stack::bmca_step(Instant now) {
    for (const std::size_t port : gptp_.bmca_step(now)) {
        advertisers_.at(port).start(*gptp_.port(port).grandmaster_id, now);
        databases_.at(port).start(now);
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

void Stack::link_up(std::size_t port_index, Instant now) {
    link_.at(port_index) = true;
    gptp_.link_up(port_index, now);
    if (entity_) {
        entity_->link_changed(port_index, true, now);
    }
}

void Stack::link_down(std::size_t port_index, Instant now) {
    link_.at(port_index) = false;
    gptp_.link_down(port_index);
    if (entity_) {
        entity_->link_changed(port_index, false, now);
    }
    log::info("strimo", "Link down. Disable streams and reset state machines");
}

std::expected<void, StackError> Stack::step_port(std::size_t port_index, Instant now) {
    if (!entity_) {
        return {};
    }
    auto& advertiser = advertisers_.at(port_index);
    if (entity_->take_advertise_request(port_index)) {
        advertiser.discover_received(now);
    }
    const auto& advertised = entity_->model().entity();
    auto frame = advertiser.step(now, advertised);
    if (!frame) {
        return std::unexpected(StackError{frame.error().text()});
    }
    if (*frame) {
        sender_.send(port_index, **frame);
    }
    auto& database = databases_.at(port_index);
    if (auto discover = database.step(now)) {
        sender_.send(port_index, *discover);
    }
    // The listener that follows remote talkers takes these once connection management exists.
    (void)database.take_events();
    return {};
}

std::expected<void, StackError> Stack::periodic(Instant now) {
    for (std::size_t port = 0; port < kPortCount; ++port) {
        if (auto stepped = step_port(port, now); !stepped) {
            return stepped;
        }
    }
    if (!entity_) {
        return {};
    }
    // Listener timers and SRP talker events come here once connection management exists.
    entity_->tick(now);
    // The MAAP step of each port comes here once MAAP exists.
    entity_->notify_changed_streams(now);
    return {};
}

void Stack::mrp_tick(Instant /*now*/) {}

void Stack::depart_all() {
    if (!entity_) {
        return;
    }
    const auto& advertised = entity_->model().entity();
    for (std::size_t port = 0; port < kPortCount; ++port) {
        auto& advertiser = advertisers_[port];
        advertiser.depart();
        if (advertiser.state() != avdecc::adp::AdvertiserState::Departing) {
            continue;
        }
        // Sending ENTITY_DEPARTING does not depend on the time.
        if (auto frame = advertiser.step(start_time_, advertised); frame && *frame) {
            sender_.send(port, **frame);
        }
    }
}

}  // namespace qz::strimo
