// The stored device settings: bank routing and the three card options.
#pragma once

#include <expected>
#include <string>

#include "qzel_device/routing_types.h"

namespace qz::avbd::persist {

inline constexpr std::string_view kDeviceSettingsFile = "device_current_avb.json";

struct DeviceSettings {
    // Bank codes 0-19; a bank that is not routed holds device::kUnroutedCode.
    device::BlockRoutingBanks routing;
    bool wordclock_input_enable{false};
    bool madi_56ch{false};
    bool madi_smux{false};
    friend bool operator==(const DeviceSettings&, const DeviceSettings&) = default;
};

DeviceSettings default_device_settings();

// Compact JSON text of the settings.
std::string device_settings_json(const DeviceSettings& settings);
// Reads the JSON text; any problem is an error text.
std::expected<DeviceSettings, std::string> parse_device_settings(std::string_view text);

// The settings of the file in `directory`, or the defaults on any problem (silently).
DeviceSettings load_device_settings(const std::string& directory);
std::expected<void, std::string> save_device_settings(const std::string& directory,
                                                      const DeviceSettings& settings);

}  // namespace qz::avbd::persist
