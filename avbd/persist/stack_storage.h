// The storage operations the AVB stack calls for its own data: listener bindings for
// auto-connect, the MAAP address block of each port, and the entity model snapshot that the
// persistor writes.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "avbd/persist/persistor.h"
#include "libnet/mac_address.h"

namespace qz::avbd::persist {

inline constexpr std::string_view kAutoConnectFile = "auto_connect.json";

struct BindingFlags {
    std::uint16_t bits{0};
    friend bool operator==(const BindingFlags&, const BindingFlags&) = default;
};

// One listener binding as the connection manager keeps it.
struct BindingParameters {
    std::uint64_t controller_id{0};
    std::uint64_t talker_guid{0};
    std::uint16_t talker_unique_id{0};
    BindingFlags flags;
    friend bool operator==(const BindingParameters&, const BindingParameters&) = default;
};

struct AutoConnectPersistError {
    std::string cause;
};
struct AutoConnectRestoreError {
    std::string cause;
};
struct StorageError {
    std::string cause;
};

// "maap" followed by the port index and ".addr".
std::string maap_file_name(std::size_t port);

std::string bindings_json(const std::vector<BindingParameters>& bindings);
std::expected<std::optional<std::vector<BindingParameters>>, std::string> parse_bindings(
    std::string_view text);

class StackStorage {
public:
    StackStorage(std::string directory, std::shared_ptr<EntitySlot> slot);

    std::expected<void, AutoConnectPersistError> persist_auto_connect(
        const std::vector<BindingParameters>& bindings);
    std::expected<std::optional<std::vector<BindingParameters>>, AutoConnectRestoreError>
    restore_auto_connect();
    std::expected<void, StorageError> persist_maap_address(std::size_t port,
                                                           const net::MacAddress& address);
    std::expected<std::optional<net::MacAddress>, StorageError> restore_maap_address(
        std::size_t port);
    // The entity model changed: a deep copy goes to the persistor.
    void persist_entity(const strimo::avdecc::entity::Entity& entity);

private:
    std::string directory_;
    std::shared_ptr<EntitySlot> slot_;
};

}  // namespace qz::avbd::persist
