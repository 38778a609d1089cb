#include "avbd/persist/device_settings.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "avbd/persist/files.h"

namespace qz::avbd::persist {
namespace {

using Json = nlohmann::ordered_json;

// Far above the few hundred bytes of a real file; a huge file is treated as unreadable.
constexpr std::size_t kSettingsLimit = 64 * 1024;

std::string bank_name(std::uint8_t code) {
    if (code < 8) {
        return "Pci" + std::to_string(code + 1);
    }
    if (code < 16) {
        return "Avb" + std::to_string(code - 7);
    }
    switch (code) {
        case 16:
            return "MadiA1";
        case 17:
            return "MadiA2";
        case 18:
            return "MadiB1";
        case 19:
            return "MadiB2";
        default:
            return "Unrouted";
    }
}

std::optional<std::uint8_t> bank_code(const std::string& name) {
    for (std::uint8_t code = 0; code < 20; ++code) {
        if (bank_name(code) == name) {
            return code;
        }
    }
    if (name == "Unrouted") {
        return device::kUnroutedCode;
    }
    return std::nullopt;
}

template <std::size_t N>
Json bank_array(const std::array<std::uint8_t, N>& codes) {
    Json array = Json::array();
    for (auto code : codes) {
        array.push_back(bank_name(code));
    }
    return array;
}

template <std::size_t N>
std::expected<std::array<std::uint8_t, N>, std::string> read_banks(const Json& array,
                                                                   const char* member) {
    if (!array.is_array() || array.size() != N) {
        return std::unexpected(std::string(member) + ": expected an array of " + std::to_string(N) +
                               " bank names");
    }
    std::array<std::uint8_t, N> codes{};
    for (std::size_t i = 0; i < N; ++i) {
        if (!array[i].is_string()) {
            return std::unexpected(std::string(member) + ": bank name is not a string");
        }
        auto code = bank_code(array[i].get<std::string>());
        if (!code) {
            return std::unexpected(std::string(member) + ": unknown bank name");
        }
        codes[i] = *code;
    }
    return codes;
}

// A pair [2p, 2p + 1] of channels, p 0-255.
std::expected<std::uint8_t, std::string> read_pair(const Json& value, const char* member) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number_unsigned() ||
        !value[1].is_number_unsigned()) {
        return std::unexpected(std::string(member) + ": expected two channel numbers");
    }
    const auto first = value[0].get<std::uint64_t>();
    const auto second = value[1].get<std::uint64_t>();
    if (first % 2 != 0 || second != first + 1 || first / 2 > 255) {
        return std::unexpected(std::string(member) + ": not a channel pair");
    }
    return static_cast<std::uint8_t>(first / 2);
}

Json pair_json(std::uint8_t pair) {
    return Json::array({2u * pair, 2u * pair + 1u});
}

}  // namespace

DeviceSettings default_device_settings() {
    DeviceSettings settings;
    for (std::uint8_t i = 0; i < 8; ++i) {
        settings.routing.pci[i] = static_cast<std::uint8_t>(8 + i);
        settings.routing.net[i] = i;
    }
    settings.routing.madi = {0, 1, 2, 3};
    settings.routing.aes3_out_pair = 0;
    settings.routing.aes3_in_enabled = false;
    return settings;
}

std::string device_settings_json(const DeviceSettings& settings) {
    Json routing = Json::object();
    routing["pci"] = bank_array(settings.routing.pci);
    routing["avb"] = bank_array(settings.routing.net);
    routing["madi"] = bank_array(settings.routing.madi);
    routing["aes3_output_channels"] = pair_json(settings.routing.aes3_out_pair);
    routing["aes3_input_overlay"] =
        settings.routing.aes3_in_enabled ? pair_json(settings.routing.aes3_in_pair) : Json();
    Json root = Json::object();
    root["routing"] = std::move(routing);
    root["wordclock_input_enable"] = settings.wordclock_input_enable;
    root["madi_56ch"] = settings.madi_56ch;
    root["madi_smux"] = settings.madi_smux;
    return root.dump();
}

std::expected<DeviceSettings, std::string> parse_device_settings(std::string_view text) {
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        return std::unexpected(std::string("not a JSON object"));
    }
    auto routing = root.find("routing");
    auto wordclock = root.find("wordclock_input_enable");
    if (routing == root.end() || !routing->is_object()) {
        return std::unexpected(std::string("routing missing"));
    }
    if (wordclock == root.end() || !wordclock->is_boolean()) {
        return std::unexpected(std::string("wordclock_input_enable missing"));
    }
    DeviceSettings settings;
    settings.wordclock_input_enable = wordclock->get<bool>();
    for (auto [name, flag] : {std::pair{"madi_56ch", &settings.madi_56ch},
                              std::pair{"madi_smux", &settings.madi_smux}}) {
        auto member = root.find(name);
        if (member == root.end()) {
            continue;  // older files lack the MADI options: off
        }
        if (!member->is_boolean()) {
            return std::unexpected(std::string(name) + " is not a boolean");
        }
        *flag = member->get<bool>();
    }
    for (const char* name : {"pci", "avb", "madi", "aes3_output_channels", "aes3_input_overlay"}) {
        if (!routing->contains(name)) {
            return std::unexpected(std::string(name) + " missing");
        }
    }
    auto pci = read_banks<8>((*routing)["pci"], "pci");
    auto avb = read_banks<8>((*routing)["avb"], "avb");
    auto madi = read_banks<4>((*routing)["madi"], "madi");
    auto out = read_pair((*routing)["aes3_output_channels"], "aes3_output_channels");
    if (!pci || !avb || !madi || !out) {
        return std::unexpected(!pci    ? pci.error()
                               : !avb  ? avb.error()
                               : !madi ? madi.error()
                                       : out.error());
    }
    settings.routing.pci = *pci;
    settings.routing.net = *avb;
    settings.routing.madi = *madi;
    settings.routing.aes3_out_pair = *out;
    const Json& overlay = (*routing)["aes3_input_overlay"];
    if (!overlay.is_null()) {
        auto pair = read_pair(overlay, "aes3_input_overlay");
        if (!pair) {
            return std::unexpected(pair.error());
        }
        settings.routing.aes3_in_enabled = true;
        settings.routing.aes3_in_pair = *pair;
    }
    return settings;
}

DeviceSettings load_device_settings(const std::string& directory) {
    auto text = read_small_file(join_path(directory, kDeviceSettingsFile), kSettingsLimit);
    if (!text || !*text) {
        return default_device_settings();
    }
    auto settings = parse_device_settings(**text);
    return settings ? *settings : default_device_settings();
}

std::expected<void, std::string> save_device_settings(const std::string& directory,
                                                      const DeviceSettings& settings) {
    return write_file_atomically(join_path(directory, kDeviceSettingsFile),
                                 device_settings_json(settings));
}

}  // namespace qz::avbd::persist
