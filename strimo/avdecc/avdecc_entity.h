// The AVDECC entity's receive path: classifies each AVTP control frame (ADP, AECP, ACMP), answers
// what it can answer itself (Milan vendor-unique GET_MILAN_INFO, address access), and hands the
// rest to the discovery, command and connection handlers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "libnet/frame_sender.h"
#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/device_hooks.h"
#include "strimo/avdecc/entity/entity_model.h"
#include "support/clock.h"

namespace qz::strimo::avdecc {

// What the receive path did with a frame that was not defective.
enum class Received {
    Ignored,                  // too short to be looked at, or a message type nobody handles
    AdpEntityAvailable,       // to the entity database
    AdpEntityDeparting,       // to the entity database
    AdpAdvertiseRequested,    // a discover for this entity or for all entities
    AdpDiscoverOther,         // a discover for another entity
    AecpResponseIgnored,      // responses are not processed by an entity
    AecpControllerAvailable,  // a controller's answer to CONTROLLER_AVAILABLE
    AecpNotForThisEntity,     // another target_entity_id
    AemCommand,               // to the AEM command handler
    AddressAccessAnswered,
    AvcLogged,
    VendorUniqueOtherProtocol,  // not the Milan protocol: dropped silently
    VendorUniqueNotImplemented,
    MilanInfoAnswered,
    ExtendedLogged,
    AcmpListener,  // to the listener side
    AcmpTalker,    // to the talker side
    AcmpNotForThisEntity,
    AcmpResponseIgnored,
};

constexpr std::size_t kAvdeccPortCount = 2;

class AvdeccEntity {
public:
    AvdeccEntity(entity::EntityModel model, DeviceHooks& hooks, net::FrameSender& sender);

    // One AVTP control frame (subtype 0xFA, 0xFB or 0xFC) received on a port. A defective frame
    // gives PacketInvalid and no response.
    std::expected<Received, Error> receive(std::size_t port_index,
                                           std::span<const std::uint8_t> frame, Instant now);

    entity::EntityModel& model() { return model_; }
    const entity::EntityModel& model() const { return model_; }
    std::uint64_t entity_id() const { return model_.entity().entity_id; }

    // An ENTITY_DISCOVER for this entity asks the advertiser of that port for an advertisement;
    // the advertiser takes the request when it runs.
    bool take_advertise_request(std::size_t port_index);

private:
    std::expected<Received, Error> receive_adp(std::size_t port,
                                               std::span<const std::uint8_t> frame, Instant now);
    std::expected<Received, Error> receive_aecp(std::size_t port,
                                                std::span<const std::uint8_t> frame, Instant now);
    std::expected<Received, Error> receive_acmp(std::size_t port,
                                                std::span<const std::uint8_t> frame, Instant now);
    std::expected<Received, Error> address_access(std::size_t port,
                                                  std::span<const std::uint8_t> frame);
    std::expected<Received, Error> vendor_unique(std::size_t port,
                                                 std::span<const std::uint8_t> frame);

    // Hand-over points to the discovery database, the controller monitor, the AEM command
    // handler and the connection manager. They take the frames once those parts exist; until
    // then the frames stop here.
    void entity_available(std::size_t port, std::span<const std::uint8_t> frame, Instant now);
    void entity_departing(std::size_t port, std::span<const std::uint8_t> frame, Instant now);
    void controller_seen(std::uint64_t controller_entity_id, Instant now);
    void controller_available_response(std::size_t port, std::span<const std::uint8_t> frame,
                                       Instant now);
    void aem_command(std::size_t port, std::span<const std::uint8_t> frame, Instant now);
    void acmp_listener(std::size_t port, std::span<const std::uint8_t> frame, Instant now);
    void acmp_talker(std::size_t port, std::span<const std::uint8_t> frame, Instant now);

    void send(std::size_t port, std::span<const std::uint8_t> frame);

    entity::EntityModel model_;
    DeviceHooks& hooks_;
    net::FrameSender& sender_;
    std::array<bool, kAvdeccPortCount> advertise_requested_{};
};

}  // namespace qz::strimo::avdecc
