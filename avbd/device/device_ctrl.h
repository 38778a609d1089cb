// The device layer's side of the main loop: applying the stack's device requests to the card
// and reporting them to the host.
#pragma once

#include <expected>

#include "avbd/device/device_error.h"
#include "avbd/device/device_request.h"

namespace qz::avbd {

struct DaemonState;

std::expected<void, DeviceError> apply_device_request(DaemonState& state,
                                                      const DeviceRequest& request);

}  // namespace qz::avbd
