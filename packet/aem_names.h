// AEM command types and descriptor types with their IEEE 1722.1-2021 values and names.
#pragma once

#include <cstdint>
#include <string_view>

namespace qz::packet::aem {

#define QZ_AEM_COMMAND_TYPES(X)                    \
    X(ACQUIRE_ENTITY, 0x0000)                      \
    X(LOCK_ENTITY, 0x0001)                         \
    X(ENTITY_AVAILABLE, 0x0002)                    \
    X(CONTROLLER_AVAILABLE, 0x0003)                \
    X(READ_DESCRIPTOR, 0x0004)                     \
    X(WRITE_DESCRIPTOR, 0x0005)                    \
    X(SET_CONFIGURATION, 0x0006)                   \
    X(GET_CONFIGURATION, 0x0007)                   \
    X(SET_STREAM_FORMAT, 0x0008)                   \
    X(GET_STREAM_FORMAT, 0x0009)                   \
    X(SET_VIDEO_FORMAT, 0x000A)                    \
    X(GET_VIDEO_FORMAT, 0x000B)                    \
    X(SET_SENSOR_FORMAT, 0x000C)                   \
    X(GET_SENSOR_FORMAT, 0x000D)                   \
    X(SET_STREAM_INFO, 0x000E)                     \
    X(GET_STREAM_INFO, 0x000F)                     \
    X(SET_NAME, 0x0010)                            \
    X(GET_NAME, 0x0011)                            \
    X(SET_ASSOCIATION_ID, 0x0012)                  \
    X(GET_ASSOCIATION_ID, 0x0013)                  \
    X(SET_SAMPLING_RATE, 0x0014)                   \
    X(GET_SAMPLING_RATE, 0x0015)                   \
    X(SET_CLOCK_SOURCE, 0x0016)                    \
    X(GET_CLOCK_SOURCE, 0x0017)                    \
    X(SET_CONTROL, 0x0018)                         \
    X(GET_CONTROL, 0x0019)                         \
    X(INCREMENT_CONTROL, 0x001A)                   \
    X(DECREMENT_CONTROL, 0x001B)                   \
    X(SET_SIGNAL_SELECTOR, 0x001C)                 \
    X(GET_SIGNAL_SELECTOR, 0x001D)                 \
    X(SET_MIXER, 0x001E)                           \
    X(GET_MIXER, 0x001F)                           \
    X(SET_MATRIX, 0x0020)                          \
    X(GET_MATRIX, 0x0021)                          \
    X(START_STREAMING, 0x0022)                     \
    X(STOP_STREAMING, 0x0023)                      \
    X(REGISTER_UNSOLICITED_NOTIFICATION, 0x0024)   \
    X(DEREGISTER_UNSOLICITED_NOTIFICATION, 0x0025) \
    X(IDENTIFY_NOTIFICATION, 0x0026)               \
    X(GET_AVB_INFO, 0x0027)                        \
    X(GET_AS_PATH, 0x0028)                         \
    X(GET_COUNTERS, 0x0029)                        \
    X(REBOOT, 0x002A)                              \
    X(GET_AUDIO_MAP, 0x002B)                       \
    X(ADD_AUDIO_MAPPINGS, 0x002C)                  \
    X(REMOVE_AUDIO_MAPPINGS, 0x002D)               \
    X(GET_VIDEO_MAP, 0x002E)                       \
    X(ADD_VIDEO_MAPPINGS, 0x002F)                  \
    X(REMOVE_VIDEO_MAPPINGS, 0x0030)               \
    X(GET_SENSOR_MAP, 0x0031)                      \
    X(ADD_SENSOR_MAPPINGS, 0x0032)                 \
    X(REMOVE_SENSOR_MAPPINGS, 0x0033)              \
    X(START_OPERATION, 0x0034)                     \
    X(ABORT_OPERATION, 0x0035)                     \
    X(OPERATION_STATUS, 0x0036)                    \
    X(AUTH_ADD_KEY, 0x0037)                        \
    X(AUTH_DELETE_KEY, 0x0038)                     \
    X(AUTH_GET_KEY_LIST, 0x0039)                   \
    X(AUTH_GET_KEY, 0x003A)                        \
    X(AUTH_ADD_KEY_TO_CHAIN, 0x003B)               \
    X(AUTH_DELETE_KEY_FROM_CHAIN, 0x003C)          \
    X(AUTH_GET_KEYCHAIN_LIST, 0x003D)              \
    X(AUTH_GET_IDENTITY, 0x003E)                   \
    X(AUTH_ADD_TOKEN, 0x003F)                      \
    X(AUTH_DELETE_TOKEN, 0x0040)                   \
    X(AUTHENTICATE, 0x0041)                        \
    X(DEAUTHENTICATE, 0x0042)                      \
    X(ENABLE_TRANSPORT_SECURITY, 0x0043)           \
    X(DISABLE_TRANSPORT_SECURITY, 0x0044)          \
    X(ENABLE_STREAM_ENCRYPTION, 0x0045)            \
    X(DISABLE_STREAM_ENCRYPTION, 0x0046)           \
    X(SET_MEMORY_OBJECT_LENGTH, 0x0047)            \
    X(GET_MEMORY_OBJECT_LENGTH, 0x0048)            \
    X(SET_STREAM_BACKUP, 0x0049)                   \
    X(GET_STREAM_BACKUP, 0x004A)                   \
    X(GET_DYNAMIC_INFO, 0x004B)                    \
    X(SET_MAX_TRANSIT_TIME, 0x004C)                \
    X(GET_MAX_TRANSIT_TIME, 0x004D)                \
    X(AUTH_ADD_KEY_NONCE, 0x004E)

#define QZ_DESCRIPTOR_TYPES(X)      \
    X(ENTITY, 0x0000)               \
    X(CONFIGURATION, 0x0001)        \
    X(AUDIO_UNIT, 0x0002)           \
    X(VIDEO_UNIT, 0x0003)           \
    X(SENSOR_UNIT, 0x0004)          \
    X(STREAM_INPUT, 0x0005)         \
    X(STREAM_OUTPUT, 0x0006)        \
    X(JACK_INPUT, 0x0007)           \
    X(JACK_OUTPUT, 0x0008)          \
    X(AVB_INTERFACE, 0x0009)        \
    X(CLOCK_SOURCE, 0x000A)         \
    X(MEMORY_OBJECT, 0x000B)        \
    X(LOCALE, 0x000C)               \
    X(STRINGS, 0x000D)              \
    X(STREAM_PORT_INPUT, 0x000E)    \
    X(STREAM_PORT_OUTPUT, 0x000F)   \
    X(EXTERNAL_PORT_INPUT, 0x0010)  \
    X(EXTERNAL_PORT_OUTPUT, 0x0011) \
    X(INTERNAL_PORT_INPUT, 0x0012)  \
    X(INTERNAL_PORT_OUTPUT, 0x0013) \
    X(AUDIO_CLUSTER, 0x0014)        \
    X(VIDEO_CLUSTER, 0x0015)        \
    X(SENSOR_CLUSTER, 0x0016)       \
    X(AUDIO_MAP, 0x0017)            \
    X(VIDEO_MAP, 0x0018)            \
    X(SENSOR_MAP, 0x0019)           \
    X(CONTROL, 0x001A)              \
    X(SIGNAL_SELECTOR, 0x001B)      \
    X(MIXER, 0x001C)                \
    X(MATRIX, 0x001D)               \
    X(MATRIX_SIGNAL, 0x001E)        \
    X(SIGNAL_SPLITTER, 0x001F)      \
    X(SIGNAL_COMBINER, 0x0020)      \
    X(SIGNAL_DEMULTIPLEXER, 0x0021) \
    X(SIGNAL_MULTIPLEXER, 0x0022)   \
    X(SIGNAL_TRANSCODER, 0x0023)    \
    X(CLOCK_DOMAIN, 0x0024)         \
    X(CONTROL_BLOCK, 0x0025)

#define QZ_ENUM_ENTRY(name, value) name = value,
enum class CommandType : std::uint16_t { QZ_AEM_COMMAND_TYPES(QZ_ENUM_ENTRY) };
enum class DescriptorType : std::uint16_t { QZ_DESCRIPTOR_TYPES(QZ_ENUM_ENTRY) };
#undef QZ_ENUM_ENTRY

constexpr std::uint16_t to_u16(CommandType type) {
    return static_cast<std::uint16_t>(type);
}
constexpr std::uint16_t to_u16(DescriptorType type) {
    return static_cast<std::uint16_t>(type);
}

// The command's name, or "UNKNOWN" for a value the standard does not define.
std::string_view command_type_name(std::uint16_t command_type);
// The descriptor type's name, or "INVALID" for any other value.
std::string_view descriptor_type_name(std::uint16_t descriptor_type);

// AEM status codes answered by the entity.
enum class Status : std::uint8_t {
    SUCCESS = 0,
    NOT_IMPLEMENTED = 1,
    NO_SUCH_DESCRIPTOR = 2,
    ENTITY_LOCKED = 3,
    ENTITY_ACQUIRED = 4,
    BAD_ARGUMENTS = 7,
    IN_PROGRESS = 9,
    ENTITY_MISBEHAVING = 10,
    NOT_SUPPORTED = 11,
    STREAM_IS_RUNNING = 12,
};

}  // namespace qz::packet::aem
