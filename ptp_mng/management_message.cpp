#include "ptp_mng/management_message.h"

#include <algorithm>
#include <limits>

#include "ptp_mng/byte_reader.h"

namespace qz::ptp {
namespace {

constexpr std::uint8_t kMessageTypeManagement = 0xD;
constexpr std::size_t kHeaderLength = 34;
constexpr std::size_t kTlvOffset = 48;
constexpr std::uint16_t kTlvManagement = 0x0001;
constexpr std::uint16_t kTlvManagementErrorStatus = 0x0002;

void put_be(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value,
            std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[offset + width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::optional<ManagementPayload> decode_data(std::uint16_t id, std::span<const std::uint8_t> d) {
    switch (id) {
        case 0x2001:
            if (d.size() != 18) {
                return std::nullopt;
            }
            return CurrentDataSet{read_u16(d, 0), static_cast<std::int64_t>(read_u64(d, 2)),
                                  static_cast<std::int64_t>(read_u64(d, 10))};
        case 0x2002:
            if (d.size() != 32) {
                return std::nullopt;
            }
            return ParentDataSet{read_u64(d, 0), read_u16(d, 8), d[18], d[23], read_u64(d, 24)};
        case kPortDataSetId: {
            if (d.size() != 26) {
                return std::nullopt;
            }
            PortDataSet set;
            set.clock_identity = read_u64(d, 0);
            set.port_number = read_u16(d, 8);
            set.port_state = d[10];
            set.log_min_delay_req_interval = static_cast<std::int8_t>(d[11]);
            set.peer_mean_path_delay = static_cast<std::int64_t>(read_u64(d, 12));
            set.log_announce_interval = static_cast<std::int8_t>(d[20]);
            set.announce_receipt_timeout = d[21];
            set.log_sync_interval = static_cast<std::int8_t>(d[22]);
            set.delay_mechanism = d[23];
            set.log_min_pdelay_req_interval = static_cast<std::int8_t>(d[24]);
            set.version_number = d[25];
            return set;
        }
        case 0xC003: {
            if (d.size() != 66) {
                return std::nullopt;
            }
            SubscribeEventsNp events;
            events.duration = read_u16(d, 0);
            std::copy_n(d.begin() + 2, events.bitmask.size(), events.bitmask.begin());
            return events;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

std::array<std::uint8_t, kManagementRequestLength> build_port_data_set_request(
    ClockIdentity own_identity, std::uint16_t sequence_id) {
    std::array<std::uint8_t, kManagementRequestLength> m{};
    m[0] = 0x10 | kMessageTypeManagement;  // transportSpecific 1: IEEE 802.1AS
    m[1] = 0x12;                           // PTP version 2.1
    put_be(m, 2, kManagementRequestLength, 2);
    put_be(m, 20, own_identity, 8);
    put_be(m, 30, sequence_id, 2);
    m[33] = 0x7F;
    std::fill_n(m.begin() + 34, 10, 0xFF);  // any clock, any port
    put_be(m, 48, kTlvManagement, 2);
    put_be(m, 50, 28, 2);
    put_be(m, 52, kPortDataSetId, 2);
    return m;
}

std::optional<ManagementAnswer> decode_management(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < kHeaderLength || (datagram[0] & 0x0F) != kMessageTypeManagement) {
        return std::nullopt;
    }
    const std::uint16_t sequence_id = read_u16(datagram, 30);
    if (datagram.size() < kTlvOffset + 6) {
        return std::nullopt;
    }
    const std::uint16_t tlv_type = read_u16(datagram, kTlvOffset);
    const std::uint16_t length = read_u16(datagram, kTlvOffset + 2);
    if (length < 2 || kTlvOffset + 4 + length > datagram.size()) {
        return std::nullopt;
    }
    const auto value = datagram.subspan(kTlvOffset + 4, length);
    if (tlv_type == kTlvManagementErrorStatus) {
        if (value.size() < 8) {
            return std::nullopt;
        }
        ManagementErrorStatus status{read_u16(value, 0), read_u16(value, 2), {}};
        if (value.size() > 8) {
            const std::size_t text_length = value[8];
            if (9 + text_length <= value.size()) {
                status.display_text.assign(value.begin() + 9, value.begin() + 9 + text_length);
            }
        }
        return ManagementAnswer{sequence_id, status};
    }
    if (tlv_type != kTlvManagement) {
        return std::nullopt;
    }
    auto payload = decode_data(read_u16(value, 0), value.subspan(2));
    if (!payload) {
        return std::nullopt;
    }
    return ManagementAnswer{sequence_id, std::move(*payload)};
}

std::uint32_t path_delay_nanoseconds(std::int64_t scaled) {
    const std::int64_t nanoseconds = scaled / 65536;
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(nanoseconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace qz::ptp
