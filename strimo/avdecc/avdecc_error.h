// The errors of the AVDECC entity, each with a fixed display text and an optional cause.
#pragma once

#include <string>
#include <string_view>

namespace qz::strimo::avdecc {

enum class ErrorKind {
    DatabaseFull,
    InflightListFull,
    InflightIdInvalid,
    PacketInvalid,
    EntityParseError,
    InvalidState,
    Io,
    NoSuchDescriptor,
    DescriptorInvalid,
    ParameterInvalid,
    AvbHook,
    Maap,
    Srp,
    AcmpNoSuchEntry,
    AcmpTooManyListeners,
    NoValidGrandmaster,
    DeviceMisbehaving,
    StreamIsRunning,
    AutoConnectPersistError,
    AutoConnectRestoreError,
};

std::string_view error_kind_text(ErrorKind kind);

struct Error {
    ErrorKind kind;
    std::string cause;  // empty when the kind says it all
    std::string text() const {
        std::string out(error_kind_text(kind));
        if (!cause.empty()) {
            out += ": ";
            out += cause;
        }
        return out;
    }
    bool operator==(ErrorKind other) const { return kind == other; }
};

}  // namespace qz::strimo::avdecc
