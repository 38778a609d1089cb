#include "avbd/device/device_ctrl.h"

namespace qz::avbd {

std::expected<void, DeviceError> apply_device_request(DaemonState& /*state*/,
                                                      const DeviceRequest& /*request*/) {
    // The daemon does not open the card yet, so no request can reach the hardware or the host.
    return std::unexpected(DeviceError{"card not opened"});
}

}  // namespace qz::avbd
