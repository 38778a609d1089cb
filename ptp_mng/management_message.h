// ptp4l management messages: the PORT_DATA_SET request and the answers the client decodes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "ptp_mng/clock_identity.h"

namespace qz::ptp {

constexpr std::size_t kManagementRequestLength = 80;
constexpr std::uint16_t kPortDataSetId = 0x2004;

enum class PortState : std::uint8_t {
    Initializing = 1,
    Faulty = 2,
    Disabled = 3,
    Listening = 4,
    PreMaster = 5,
    Master = 6,
    Passive = 7,
    Uncalibrated = 8,
    Slave = 9,
};

struct PortDataSet {
    ClockIdentity clock_identity{0};
    std::uint16_t port_number{0};
    std::uint8_t port_state{0};
    std::int8_t log_min_delay_req_interval{0};
    std::int64_t peer_mean_path_delay{0};  // nanoseconds times 65536
    std::int8_t log_announce_interval{0};
    std::uint8_t announce_receipt_timeout{0};
    std::int8_t log_sync_interval{0};
    std::uint8_t delay_mechanism{0};
    std::int8_t log_min_pdelay_req_interval{0};
    std::uint8_t version_number{0};
};

struct CurrentDataSet {
    std::uint16_t steps_removed{0};
    std::int64_t offset_from_master{0};
    std::int64_t mean_path_delay{0};
};

struct ParentDataSet {
    ClockIdentity parent_clock_identity{0};
    std::uint16_t parent_port_number{0};
    std::uint8_t grandmaster_priority1{0};
    std::uint8_t grandmaster_priority2{0};
    ClockIdentity grandmaster_identity{0};
};

struct SubscribeEventsNp {
    std::uint16_t duration{0};
    std::array<std::uint8_t, 64> bitmask{};
};

struct ManagementErrorStatus {
    std::uint16_t error_id{0};
    std::uint16_t management_id{0};
    std::string display_text;
};

using ManagementPayload = std::variant<PortDataSet, CurrentDataSet, ParentDataSet,
                                       SubscribeEventsNp, ManagementErrorStatus>;

struct ManagementAnswer {
    std::uint16_t sequence_id{0};
    ManagementPayload payload;
};

// The 80-byte GET request for PORT_DATA_SET of any port.
std::array<std::uint8_t, kManagementRequestLength> build_port_data_set_request(
    ClockIdentity own_identity, std::uint16_t sequence_id);

// Decodes a datagram from ptp4l. nullopt for anything the client does not use: too short, not a
// management message, another TLV or data set, or a data length that does not fit.
std::optional<ManagementAnswer> decode_management(std::span<const std::uint8_t> datagram);

// peerMeanPathDelay (ns << 16) as whole nanoseconds, saturated to 0..UINT32_MAX.
std::uint32_t path_delay_nanoseconds(std::int64_t scaled);

}  // namespace qz::ptp
