// Payload fields of the AEM commands and responses the entity answers, and a builder of AEM
// commands for controllers. Offsets count from the first byte of the Ethernet frame.
#pragma once

#include <cstdint>
#include <vector>

#include "packet/aecp.h"

namespace qz::packet::aem_payload {

constexpr std::size_t kPayloadBase = aem::kPayloadOffset;  // 38

// The descriptor_type / descriptor_index pair most commands start with.
inline constexpr Field<std::uint16_t> kDescriptorType{38};
inline constexpr Field<std::uint16_t> kDescriptorIndex{40};

// LOCK_ENTITY
inline constexpr Field<std::uint32_t> kLockFlags{38};
inline constexpr Field<std::uint64_t> kLockedEntityId{42};
inline constexpr Field<std::uint16_t> kLockDescriptorType{50};
inline constexpr Field<std::uint16_t> kLockDescriptorIndex{52};
constexpr std::size_t kLockPayload = 16;

// READ_DESCRIPTOR
inline constexpr Field<std::uint16_t> kReadConfigurationIndex{38};
inline constexpr Field<std::uint16_t> kReadDescriptorType{42};
inline constexpr Field<std::uint16_t> kReadDescriptorIndex{44};
constexpr std::size_t kDescriptorOffset = 42;
constexpr std::size_t kReadDescriptorPayload = 8;

// SET_CONFIGURATION / GET_CONFIGURATION
inline constexpr Field<std::uint16_t> kConfigurationIndex{40};

// SET_STREAM_FORMAT / GET_STREAM_FORMAT
inline constexpr Field<std::uint64_t> kStreamFormat{42};
constexpr std::size_t kStreamFormatPayload = 12;

// SET_STREAM_INFO / GET_STREAM_INFO
inline constexpr Field<std::uint32_t> kStreamInfoFlags{42};
inline constexpr Field<std::uint64_t> kStreamInfoFormat{46};
inline constexpr Field<std::uint64_t> kStreamId{54};
inline constexpr Field<std::uint32_t> kMsrpAccumulatedLatency{62};
inline constexpr Field<Bytes6> kStreamDestMac{66};
inline constexpr Field<std::uint8_t> kMsrpFailureCode{72};
inline constexpr Field<std::uint64_t> kMsrpFailureBridgeId{74};
inline constexpr Field<std::uint16_t> kStreamVlanId{82};
inline constexpr Field<std::uint32_t> kStreamInfoFlagsEx{86};
inline constexpr Field<std::uint8_t> kProbing{90};
constexpr std::size_t kStreamInfoPayload = 56;
constexpr std::uint32_t kStreamFormatValid = 0x80000000;
constexpr std::uint32_t kStreamIdValid = 0x40000000;
constexpr std::uint32_t kMsrpAccLatValid = 0x20000000;
constexpr std::uint32_t kStreamDestMacValid = 0x10000000;
constexpr std::uint32_t kMsrpFailureValid = 0x08000000;
constexpr std::uint32_t kConnected = 0x04000000;
constexpr std::uint32_t kStreamVlanIdValid = 0x02000000;

// SET_NAME / GET_NAME
inline constexpr Field<std::uint16_t> kNameIndex{42};
inline constexpr Field<std::uint16_t> kNameConfigurationIndex{44};
constexpr std::size_t kNameOffset = 46;
constexpr std::size_t kNameBytes = 64;
constexpr std::size_t kNamePayload = 72;

// SET_SAMPLING_RATE / GET_SAMPLING_RATE
inline constexpr Field<std::uint32_t> kSamplingRate{42};
constexpr std::size_t kSamplingRatePayload = 8;

// SET_CLOCK_SOURCE / GET_CLOCK_SOURCE
inline constexpr Field<std::uint16_t> kClockSourceIndex{42};
constexpr std::size_t kClockSourcePayload = 8;

// SET_CONTROL / GET_CONTROL
constexpr std::size_t kControlValuesOffset = 42;

// GET_AVB_INFO
inline constexpr Field<std::uint64_t> kGptpGrandmasterId{42};
inline constexpr Field<std::uint32_t> kPropagationDelay{50};
inline constexpr Field<std::uint8_t> kGptpDomainNumber{54};
inline constexpr Field<std::uint8_t> kAvbInfoFlags{55};
inline constexpr Field<std::uint16_t> kMsrpMappingsCount{56};
inline constexpr Field<std::uint8_t> kMsrpTrafficClass{58};
inline constexpr Field<std::uint8_t> kMsrpPriority{59};
inline constexpr Field<std::uint16_t> kMsrpVlanId{60};
constexpr std::size_t kAvbInfoPayload = 24;

// GET_AS_PATH: the AVB_INTERFACE index comes first
inline constexpr Field<std::uint16_t> kAsPathDescriptorIndex{38};
inline constexpr Field<std::uint16_t> kAsPathCount{40};
constexpr std::size_t kAsPathOffset = 42;

// GET_COUNTERS
inline constexpr Field<std::uint32_t> kCountersValid{42};
constexpr std::size_t kCountersOffset = 46;
constexpr std::size_t kCountersPayload = 136;

// GET_AUDIO_MAP
inline constexpr Field<std::uint16_t> kMapIndex{42};
inline constexpr Field<std::uint16_t> kNumberOfMaps{44};
inline constexpr Field<std::uint16_t> kNumberOfMappings{46};
constexpr std::size_t kMappingsOffset = 50;
constexpr std::size_t kMappingSize = 8;

// START_OPERATION
inline constexpr Field<std::uint16_t> kOperationId{42};
inline constexpr Field<std::uint16_t> kOperationType{44};
constexpr std::size_t kOperationValuesOffset = 46;

// GET_MEMORY_OBJECT_LENGTH
inline constexpr Field<std::uint64_t> kMemoryObjectLength{42};
constexpr std::size_t kMemoryObjectLengthPayload = 12;

// An AEM command frame with `payload_length` zero bytes of payload for the caller to fill.
inline std::vector<std::uint8_t> make_command(const Bytes6& destination, const Bytes6& source,
                                              std::uint64_t target_entity_id,
                                              std::uint64_t controller_entity_id,
                                              std::uint16_t sequence_id, std::uint16_t command_type,
                                              std::size_t payload_length) {
    std::vector<std::uint8_t> frame(kPayloadBase + payload_length, 0);
    std::span<std::uint8_t> out(frame);
    (void)set(out, eth::kDestination, destination);
    (void)set(out, eth::kSource, source);
    (void)set(out, eth::kEthertype, kEthertypeAvtp);
    (void)set(out, avtp::kSubtypeByte, kSubtypeByteAecp);
    (void)set(out, avtp::kMessageType, static_cast<std::uint16_t>(aecp::MessageType::AEM_COMMAND));
    (void)aem::set_payload_length(out, payload_length);
    (void)set(out, aecp::kTargetEntityId, target_entity_id);
    (void)set(out, aecp::kControllerEntityId, controller_entity_id);
    (void)set(out, aecp::kSequenceId, sequence_id);
    (void)set(out, aem::kCommandType, command_type);
    return frame;
}

}  // namespace qz::packet::aem_payload
