// The controller side of AECP AEM: one command in flight at a time, matched to its response by
// sequence_id, with a time-out and retries; unsolicited notifications are handed to a callback.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "packet/aem_payloads.h"
#include "tools/avdecc_controller/raw_link.h"

namespace qz::ctl {

using Frame = std::vector<std::uint8_t>;

struct DiscoveredEntity {
    std::uint64_t entity_id{0};
    std::uint64_t entity_model_id{0};
    packet::Bytes6 mac{};
    std::uint32_t capabilities{0};
    std::uint16_t talker_sources{0};
    std::uint16_t listener_sinks{0};
    std::uint64_t grandmaster{0};
    std::uint16_t interface_index{0};
};

class Controller {
public:
    Controller(RawLink link, std::uint64_t controller_id)
        : link_(std::move(link)), controller_id_(controller_id) {}

    // ENTITY_DISCOVER, then every ENTITY_AVAILABLE heard for `listen` (one per entity); with
    // `wanted`, it stops as soon as an entity for which it returns true is heard.
    std::expected<std::vector<DiscoveredEntity>, std::string> discover(
        std::chrono::milliseconds listen,
        const std::function<bool(const DiscoveredEntity&)>& wanted = {});

    void set_target(const DiscoveredEntity& entity) { target_ = entity; }
    const DiscoveredEntity& target() const { return target_; }
    std::uint64_t controller_id() const { return controller_id_; }

    // Sends an AEM command (built with make_command, sequence_id and addresses filled in here)
    // and waits for its response; retried `retries` times after `timeout` each.
    std::expected<Frame, std::string> command(
        Frame frame, std::chrono::milliseconds timeout = std::chrono::milliseconds(250),
        int retries = 2);
    Frame new_command(packet::aem::CommandType type, std::size_t payload) const;

    // Receives for `duration`, handing every unsolicited AEM response addressed to this
    // controller to `on_notification` and answering CONTROLLER_AVAILABLE probes.
    std::expected<void, std::string> listen(
        std::chrono::milliseconds duration,
        const std::function<void(const Frame&)>& on_notification);

    // Response times of the commands so far, in microseconds.
    const std::vector<double>& latencies() const { return latencies_; }
    std::size_t retries() const { return retries_; }

private:
    // Handles a frame that is not the awaited response: notifications and probes.
    void side_frame(const Frame& frame);

    RawLink link_;
    std::uint64_t controller_id_;
    DiscoveredEntity target_{};
    std::uint16_t sequence_{0};
    std::vector<double> latencies_;
    std::size_t retries_{0};
    std::function<void(const Frame&)> on_notification_;
};

}  // namespace qz::ctl
