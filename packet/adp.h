// ADP discovery PDUs.
#pragma once

#include <cstdint>
#include <vector>

#include "packet/avtp.h"

namespace qz::packet::adp {

constexpr std::size_t kFrameSize = 82;
constexpr std::uint16_t kControlDataLength = 56;
// valid_time counts units of two seconds: 10 advertises the entity for 20 seconds.
constexpr std::uint8_t kValidTimeAvailable = 10;

enum class MessageType : std::uint8_t {
    ENTITY_AVAILABLE = 0,
    ENTITY_DEPARTING = 1,
    ENTITY_DISCOVER = 2,
};

// A receiver keeps only the capability bits the protocol defines.
constexpr std::uint32_t kEntityCapabilitiesReceiveMask = 0x03FFFFFF;

inline constexpr Field<std::uint64_t> kEntityId{18};
inline constexpr Field<std::uint64_t> kEntityModelId{26};
inline constexpr Field<std::uint32_t> kEntityCapabilities{34};
inline constexpr Field<std::uint16_t> kTalkerStreamSources{38};
inline constexpr Field<std::uint16_t> kTalkerCapabilities{40};
inline constexpr Field<std::uint16_t> kListenerStreamSinks{42};
inline constexpr Field<std::uint16_t> kListenerCapabilities{44};
inline constexpr Field<std::uint32_t> kControllerCapabilities{46};
inline constexpr Field<std::uint32_t> kAvailableIndex{50};
inline constexpr Field<std::uint64_t> kGptpGrandmasterId{54};
inline constexpr Field<std::uint8_t> kGptpDomainNumber{62};
inline constexpr Field<std::uint16_t> kIdentifyControlIndex{66};
inline constexpr Field<std::uint16_t> kInterfaceIndex{68};
inline constexpr Field<std::uint64_t> kAssociationId{70};

// An 82-byte ADP frame to the AVDECC multicast address with the message type and
// control_data_length 56; every other field is zero for the caller to fill.
std::vector<std::uint8_t> make_frame(MessageType type);

}  // namespace qz::packet::adp
