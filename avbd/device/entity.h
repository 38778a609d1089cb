// The card's AVDECC entity: one configuration with the audio unit, 34 stream inputs and outputs,
// six input jacks, two AVB interfaces, 41 clock sources, one clock domain, the Identify control,
// the entity image when a logo exists, and one locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "libnet/mac_address.h"
#include "strimo/avdecc/entity/model.h"

namespace qz::avbd {

enum class StreamNamingScheme : std::uint8_t {
    dir_trailing_pri_sec = 0,
    dir_leading_pri_sec = 1,
    no_dir_trailing_pri_sec = 2,
};

std::optional<StreamNamingScheme> parse_stream_naming_scheme(std::string_view text);

// The maker's OUI: the top 24 bits of the default entity model ID and of every clock source ID.
constexpr std::uint32_t kMakerOui = 0x6C8F2A;

struct OemValues {
    std::string model_name;
    std::string vendor_name;
    std::string default_entity_name;
    std::string serial_number;
    std::uint64_t entity_model_id{0};
    std::string firmware_version;
    StreamNamingScheme stream_naming_scheme{StreamNamingScheme::dir_leading_pri_sec};
    std::optional<std::vector<std::uint8_t>> logo;  // PNG bytes
};

// The values used when the OEM archive is missing or incomplete. The serial number and firmware
// version come from the boot flash, so the caller passes them.
OemValues default_oem_values(std::string serial_number, std::string firmware_version);

enum class StreamDirection { Input, Output };

constexpr std::size_t kAudioStreamsPerPort = 16;
constexpr std::size_t kStreamsPerPort = 17;  // 16 audio streams and the clock reference stream
constexpr std::size_t kStreamCount = 2 * kStreamsPerPort;
constexpr std::size_t kClustersPerPort = 512;
constexpr std::uint64_t kLogoStartAddress = 0x4C4F474F;

// The name of audio stream `number` (from 1) of port 0 or 1.
std::string stream_name(StreamNamingScheme scheme, std::size_t port, StreamDirection direction,
                        std::size_t number);
// The name of the clock reference stream of port 0 or 1.
std::string clock_stream_name(StreamNamingScheme scheme, std::size_t port,
                              StreamDirection direction);

// The 64-bit identifier built from a MAC address: its first three bytes, 0xFF, 0xFE, its last
// three bytes.
std::uint64_t eui64_from_mac(const net::MacAddress& mac);

strimo::avdecc::entity::Entity build_card_entity(const OemValues& oem,
                                                 const net::MacAddress& port0_mac,
                                                 const net::MacAddress& port1_mac);

}  // namespace qz::avbd
