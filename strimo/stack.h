// The AVB protocol stack: a plain object driven from outside.
//
// The stack never reads the clock, sleeps, spawns threads or touches files: the main loop hands
// it frames and ticks with the time, and it sends through the injected FrameSender. The protocol
// engines (discovery, enumeration and control, connection management, MRP, MAAP) plug into the
// dispatch of frame_entry and into the periodic steps as they are built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "libnet/frame_sender.h"
#include "libnet/mac_address.h"
#include "ptp_mng/management_message.h"
#include "strimo/avdecc/adp/advertiser.h"
#include "strimo/avdecc/adp/entity_database.h"
#include "strimo/avdecc/avdecc_entity.h"
#include "strimo/frame_route.h"
#include "strimo/gptp/gptp_monitor.h"
#include "strimo/stack_error.h"
#include "support/clock.h"
#include "support/random.h"

namespace qz::strimo {

constexpr std::size_t kPortCount = 2;

// Frames the frame entry took on one port, by where they went.
struct FrameCounters {
    std::uint64_t received{0};
    std::uint64_t msrp{0};
    std::uint64_t mvrp{0};
    std::uint64_t adp{0};
    std::uint64_t aecp{0};
    std::uint64_t acmp{0};
    std::uint64_t maap{0};
    std::uint64_t avtp_other{0};
    std::uint64_t ptp{0};
    std::uint64_t ignored{0};
};

class Stack {
public:
    Stack(net::FrameSender& sender, RandomSource& random,
          std::array<net::MacAddress, kPortCount> port_macs, Instant start_time);

    // One received frame of a port, with the time the main loop took it.
    void frame_entry(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now);

    // Start-up hands the stack the entity it presents, with the device layer it calls. Until
    // then AVDECC frames are only counted. The hooks must outlive the stack.
    void attach_entity(avdecc::entity::Entity entity, avdecc::DeviceHooks& hooks);
    avdecc::AvdeccEntity* entity() { return entity_.get(); }

    // Start-up brings each port into the stack once, before the main loop runs.
    void bring_up_port(std::size_t port_index, Instant now);

    // The 10 ms periodic step: per port the advertiser and the entity database, then the
    // entity-wide timers. The first error ends the step.
    std::expected<void, StackError> periodic(Instant now);

    // The port data set ptp4l reported for a port (once a second).
    void port_data_set(std::size_t port_index, const ptp::PortDataSet& set, Instant now);

    // Ports whose gPTP has settled since link-up start advertising.
    void bmca_step(Instant now);

    const gptp::GptpMonitor& gptp() const { return gptp_; }
    const avdecc::adp::Advertiser& advertiser(std::size_t port_index) const {
        return advertisers_.at(port_index);
    }
    const avdecc::adp::EntityDatabase& entity_database(std::size_t port_index) const {
        return databases_.at(port_index);
    }

    // The 100 ms MRP timer service.
    void mrp_tick(Instant now);

    // Orderly stop: every advertising port says goodbye.
    void depart_all();

    // Link changes of a port, as the link monitor sees them once a second.
    void link_up(std::size_t port_index, Instant now);
    void link_down(std::size_t port_index, Instant now);
    bool link_flag(std::size_t port_index) const { return link_.at(port_index); }

    const FrameCounters& counters(std::size_t port_index) const { return counters_.at(port_index); }
    bool port_brought_up(std::size_t port_index) const { return brought_up_.at(port_index); }
    Instant start_time() const { return start_time_; }

private:
    void count(FrameCounters& counters, FrameRoute route);
    void receive_avdecc(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now);
    void receive_ptp(std::size_t port_index, std::span<const std::uint8_t> frame, Instant now);
    void grandmaster_changed(std::size_t port_index, Instant now);
    std::expected<void, StackError> step_port(std::size_t port_index, Instant now);

    net::FrameSender& sender_;
    RandomSource& random_;
    std::array<net::MacAddress, kPortCount> port_macs_;
    Instant start_time_;
    std::array<FrameCounters, kPortCount> counters_{};
    std::array<bool, kPortCount> brought_up_{};
    std::array<bool, kPortCount> link_{};
    std::unique_ptr<avdecc::AvdeccEntity> entity_;
    gptp::GptpMonitor gptp_;
    std::array<avdecc::adp::Advertiser, kPortCount> advertisers_;
    std::array<avdecc::adp::EntityDatabase, kPortCount> databases_{};
};

}  // namespace qz::strimo
