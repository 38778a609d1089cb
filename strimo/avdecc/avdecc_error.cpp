#include "strimo/avdecc/avdecc_error.h"

namespace qz::strimo::avdecc {

std::string_view error_kind_text(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::DatabaseFull:
            return "Entity database full";
        case ErrorKind::InflightListFull:
            return "Inflight command list full";
        case ErrorKind::InflightIdInvalid:
            return "Inflight command ID invalid";
        case ErrorKind::PacketInvalid:
            return "Packet invalid";
        case ErrorKind::EntityParseError:
            return "Entity model could not be parsed";
        case ErrorKind::InvalidState:
            return "Invalid state";
        case ErrorKind::Io:
            return "I/O error";
        case ErrorKind::NoSuchDescriptor:
            return "No such descriptor";
        case ErrorKind::DescriptorInvalid:
            return "Descriptor invalid";
        case ErrorKind::ParameterInvalid:
            return "Parameters invalid (e.g. channel size < 1)";
        case ErrorKind::AvbHook:
            return "Device hook failed";
        case ErrorKind::Maap:
            return "MAAP error";
        case ErrorKind::Srp:
            return "SRP error";
        case ErrorKind::AcmpNoSuchEntry:
            return "No such ACMP entry";
        case ErrorKind::AcmpTooManyListeners:
            return "Too many ACMP listeners";
        case ErrorKind::NoValidGrandmaster:
            return "No valid grandmaster";
        case ErrorKind::DeviceMisbehaving:
            return "Device misbehaving";
        case ErrorKind::StreamIsRunning:
            return "Stream is running";
        case ErrorKind::AutoConnectPersistError:
            return "Auto-connect state could not be stored";
        case ErrorKind::AutoConnectRestoreError:
            return "Auto-connect state could not be restored";
    }
    return "Unknown error";
}

}  // namespace qz::strimo::avdecc
