#include "strimo/gptp/gptp_monitor.h"

#include <fmt/format.h>

#include "ptp_mng/announce.h"
#include "support/log.h"

namespace qz::strimo::gptp {
namespace {

constexpr const char* kTarget = "strimo";
constexpr Duration kBmcaRetry = std::chrono::seconds(1);
constexpr Duration kBmcaSettle = std::chrono::seconds(2);

std::string identity_list(const std::vector<ClockIdentity>& ids) {
    std::string out = "[";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        out += (i == 0 ? "" : ", ") + ptp::to_string(ids[i]);
    }
    return out + "]";
}

bool follows_remote_master(std::uint8_t port_state) {
    return port_state == static_cast<std::uint8_t>(ptp::PortState::Uncalibrated) ||
           port_state == static_cast<std::uint8_t>(ptp::PortState::Slave);
}

}  // namespace

std::expected<GptpChange, ptp::GptpError> GptpMonitor::on_announce(
    std::size_t port, std::span<const std::uint8_t> frame) {
    auto parsed = ptp::parse_announce(frame);
    if (!parsed) {
        return std::unexpected(parsed.error());
    }
    GptpChange change;
    if (!*parsed) {
        return change;  // not an Announce
    }
    auto& state = ports_.at(port);
    const auto& announce = **parsed;
    if (announce.path_sequence != state.path_sequence) {
        state.path_sequence = announce.path_sequence;
        log::debug(kTarget, "IF{}: New incoming path sequence: {}", port,
                   identity_list(state.path_sequence));
        state.as_path = state.path_sequence;
        state.as_path.push_back(own_.at(port));
    }
    if (state.grandmaster_id != announce.grandmaster) {
        state.grandmaster_id = announce.grandmaster;
        log::debug(kTarget, "IF{}: Grandmaster has changed to {}", port,
                   ptp::to_string(announce.grandmaster));
        change.grandmaster_changed = true;
    }
    return change;
}

GptpChange GptpMonitor::on_port_data_set(std::size_t port, const ptp::PortDataSet& set) {
    auto& state = ports_.at(port);
    GptpChange change;
    const auto delay = ptp::path_delay_nanoseconds(set.peer_mean_path_delay);
    if (delay != state.propagation_delay) {
        state.propagation_delay = delay;
        change.propagation_delay_changed = state.grandmaster_id.has_value();
    }
    if (follows_remote_master(set.port_state)) {
        return change;  // the grandmaster comes from the Announce messages then
    }
    // The port is its own time source.
    const ClockIdentity own = own_.at(port);
    if (state.grandmaster_id != own) {
        state.grandmaster_id = own;
        log::debug(kTarget, "Grandmaster of AVB interface {} has changed to {}", port,
                   ptp::to_string(own));
        log::debug(kTarget, "info grandmaster {} propagation delay {} ns", ptp::to_string(own),
                   state.propagation_delay);
        state.as_path = {own};
        change.grandmaster_changed = true;
    }
    return change;
}

void GptpMonitor::link_up(std::size_t port, Instant now) {
    ports_.at(port).bmca_deadline = now + kBmcaSettle;
}

void GptpMonitor::link_down(std::size_t port) {
    ports_.at(port).bmca_deadline.reset();
}

std::vector<std::size_t> GptpMonitor::bmca_step(Instant now) {
    std::vector<std::size_t> start;
    for (std::size_t port = 0; port < ports_.size(); ++port) {
        auto& state = ports_[port];
        if (!state.bmca_deadline || now < *state.bmca_deadline) {
            continue;
        }
        log::info(kTarget, "BMCA done. Start ADP, start auto connect");
        if (!state.grandmaster_id) {
            log::warn(kTarget, "No grandmaster id set though bmca should be done.");
            state.bmca_deadline = now + kBmcaRetry;
            continue;
        }
        state.bmca_deadline.reset();
        start.push_back(port);
    }
    return start;
}

}  // namespace qz::strimo::gptp
