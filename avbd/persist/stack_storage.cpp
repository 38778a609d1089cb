#include "avbd/persist/stack_storage.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "avbd/persist/files.h"

namespace qz::avbd::persist {
namespace {

using Json = nlohmann::ordered_json;

// Bindings and MAAP files are a few hundred bytes at most; a huge file is treated as unparsable.
constexpr std::size_t kSmallFileLimit = 1024 * 1024;

std::string hex_id(std::uint64_t value) {
    return fmt::format("0x{:02x}", value);
}

std::optional<std::uint64_t> read_id(const Json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (!value.is_string()) {
        return std::nullopt;
    }
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x')) {
        return std::nullopt;
    }
    std::uint64_t result = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        result = (result << 4) | digit;
    }
    return result;
}

std::optional<std::uint16_t> read_u16(const Json& value) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value.get<std::uint64_t>());
}

}  // namespace

std::string maap_file_name(std::size_t port) {
    return "maap" + std::to_string(port) + ".addr";
}

std::string bindings_json(const std::vector<BindingParameters>& bindings) {
    Json array = Json::array();
    for (const auto& binding : bindings) {
        Json item = Json::object();
        item["controller_id"] = hex_id(binding.controller_id);
        item["talker_guid"] = hex_id(binding.talker_guid);
        item["talker_unique_id"] = binding.talker_unique_id;
        item["flags"] = Json::object({{"bits", binding.flags.bits}});
        array.push_back(std::move(item));
    }
    return array.dump();
}

std::expected<std::optional<std::vector<BindingParameters>>, std::string> parse_bindings(
    std::string_view text) {
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        return std::unexpected(std::string("not JSON"));
    }
    if (root.is_null()) {
        return std::optional<std::vector<BindingParameters>>{};
    }
    if (!root.is_array()) {
        return std::unexpected(std::string("not an array of bindings"));
    }
    std::vector<BindingParameters> bindings;
    for (const auto& item : root) {
        if (!item.is_object() || !item.contains("controller_id") || !item.contains("talker_guid") ||
            !item.contains("talker_unique_id") || !item.contains("flags") ||
            !item["flags"].is_object() || !item["flags"].contains("bits")) {
            return std::unexpected(std::string("binding of the wrong shape"));
        }
        auto controller = read_id(item["controller_id"]);
        auto talker = read_id(item["talker_guid"]);
        auto unique = read_u16(item["talker_unique_id"]);
        auto bits = read_u16(item["flags"]["bits"]);
        if (!controller || !talker || !unique || !bits) {
            return std::unexpected(std::string("binding member out of range"));
        }
        bindings.push_back(BindingParameters{*controller, *talker, *unique, BindingFlags{*bits}});
    }
    return std::optional(std::move(bindings));
}

StackStorage::StackStorage(std::string directory, std::shared_ptr<EntitySlot> slot)
    : directory_(std::move(directory)), slot_(std::move(slot)) {}

std::expected<void, AutoConnectPersistError> StackStorage::persist_auto_connect(
    const std::vector<BindingParameters>& bindings) {
    if (auto written =
            write_file_atomically(join_path(directory_, kAutoConnectFile), bindings_json(bindings));
        !written) {
        return std::unexpected(AutoConnectPersistError{written.error()});
    }
    return {};
}

std::expected<std::optional<std::vector<BindingParameters>>, AutoConnectRestoreError>
StackStorage::restore_auto_connect() {
    auto text = read_small_file(join_path(directory_, kAutoConnectFile), kSmallFileLimit);
    if (!text) {
        return std::unexpected(AutoConnectRestoreError{text.error()});
    }
    if (!*text) {
        return std::optional<std::vector<BindingParameters>>{};
    }
    auto bindings = parse_bindings(**text);
    if (!bindings) {
        return std::unexpected(AutoConnectRestoreError{bindings.error()});
    }
    return *bindings;
}

std::expected<void, StorageError> StackStorage::persist_maap_address(
    std::size_t port, const net::MacAddress& address) {
    Json array = Json::array();
    for (auto byte : address) {
        array.push_back(byte);
    }
    if (auto written =
            write_file_atomically(join_path(directory_, maap_file_name(port)), array.dump());
        !written) {
        return std::unexpected(StorageError{written.error()});
    }
    return {};
}

std::expected<std::optional<net::MacAddress>, StorageError> StackStorage::restore_maap_address(
    std::size_t port) {
    const StorageError parse_failed{"Parsing MAAP addr file failed"};
    auto text = read_small_file(join_path(directory_, maap_file_name(port)), kSmallFileLimit);
    if (!text) {
        return std::unexpected(parse_failed);
    }
    if (!*text) {
        return std::optional<net::MacAddress>{};
    }
    const Json root = Json::parse(**text, nullptr, false);
    if (root.is_null()) {
        return std::optional<net::MacAddress>{};
    }
    if (root.is_discarded() || !root.is_array() || root.size() != 6) {
        return std::unexpected(parse_failed);
    }
    net::MacAddress address{};
    for (std::size_t i = 0; i < 6; ++i) {
        if (!root[i].is_number_unsigned() || root[i].get<std::uint64_t>() > 255) {
            return std::unexpected(parse_failed);
        }
        address[i] = static_cast<std::uint8_t>(root[i].get<std::uint64_t>());
    }
    return std::optional(address);
}

void StackStorage::persist_entity(const strimo::avdecc::entity::Entity& entity) {
    slot_->put(entity);
}

}  // namespace qz::avbd::persist
