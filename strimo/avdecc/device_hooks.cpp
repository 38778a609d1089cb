#include "strimo/avdecc/device_hooks.h"

namespace qz::strimo::avdecc {

std::string_view device_error_text(DeviceErrorKind kind) {
    switch (kind) {
        case DeviceErrorKind::IndexNotValid:
            return "Index not valid";
        case DeviceErrorKind::InvalidMacAddress:
            return "Invalid mac address";
        case DeviceErrorKind::ParamsInvalid:
            return "Invalid parameters";
        case DeviceErrorKind::NotSupported:
            return "Device doesn't support operation";
        case DeviceErrorKind::OperationFailed:
            return "Device operation not successful";
        case DeviceErrorKind::FileSystemError:
            return "File system operation not successful";
        case DeviceErrorKind::Locked:
            return "Device is locked or acquired";
        case DeviceErrorKind::QueueError:
            return "Failed to queue operation";
    }
    return "Unknown device error";
}

}  // namespace qz::strimo::avdecc
