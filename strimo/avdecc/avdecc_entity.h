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
#include "strimo/avdecc/aecp/aem_handler.h"
#include "strimo/avdecc/aecp/counters.h"
#include "strimo/avdecc/aecp/notifications.h"
#include "strimo/avdecc/aecp/stream_runtime.h"
#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/device_hooks.h"
#include "strimo/avdecc/entity/entity_model.h"
#include "strimo/gptp/gptp_monitor.h"
#include "support/clock.h"
#include "support/random.h"

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
    // `random` spreads the controller liveness probes; it must outlive the entity.
    AvdeccEntity(entity::EntityModel model, DeviceHooks& hooks, net::FrameSender& sender,
                 RandomSource& random);

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

    // --- Operations for the device control loop and the stack ---

    // Whether a controller holds the lock (or the acquire, which this entity never grants):
    // host-side changes are refused while it does.
    bool locked_by_controller(Instant now) const;

    // Sends every subscriber the unsolicited response that a GET of the item gives, under
    // `command_type`: SET_SAMPLING_RATE (AUDIO_UNIT), SET_CLOCK_SOURCE (CLOCK_DOMAIN),
    // SET_CONTROL (CONTROL), SET_STREAM_FORMAT (STREAM_INPUT/OUTPUT), GET_STREAM_INFO,
    // GET_AVB_INFO, GET_AS_PATH (AVB_INTERFACE), and GET_COUNTERS, which goes through the
    // one-second throttle per descriptor. An item the model lacks is logged, nothing is sent.
    void notify_unsolicited(std::uint16_t command_type, std::uint16_t descriptor_type,
                            std::uint16_t descriptor_index, Instant now);

    // A change of the model made outside the command handler: marks the model dirty (persisting,
    // descriptor cache) and tells the device layer.
    void mark_changed();

    // The counters GET_COUNTERS reports; the device control loop stores the card's and the
    // interfaces' counters here and then calls notify_unsolicited(GET_COUNTERS, ...).
    commands::Counters& counters() { return counters_; }
    // Binding and streaming state of the streams (owned by connection management once it runs).
    commands::StreamRuntime& stream_runtime() { return runtime_; }
    const std::vector<commands::Subscriber>& subscribers() const { return notifier_.subscribers(); }

    // gPTP state that GET_AVB_INFO and GET_AS_PATH report; it must outlive the entity.
    void set_gptp(const gptp::GptpMonitor* gptp) { handler_.set_gptp(gptp); }

    // The port's grandmaster changed: GET_AVB_INFO and GET_AS_PATH notifications for its
    // AVB_INTERFACE, GPTP_GM_CHANGED counted and its GET_COUNTERS notified.
    void grandmaster_changed(std::size_t port_index, Instant now);
    // LINK_UP / LINK_DOWN counted on the port's AVB_INTERFACE and its GET_COUNTERS notified.
    void link_changed(std::size_t port_index, bool up, Instant now);

    // The entity-wide part of the periodic step: lock expiry, subscriber monitoring, the held
    // counters notifications.
    void tick(Instant now);
    // The last part of the periodic step: GET_STREAM_INFO notifications for the streams whose
    // changed flag is set, clearing the flags.
    void notify_changed_streams(Instant now);

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

    // Hand-over points to the controller monitor, the AEM command handler and the connection
    // manager (whose frames stop here until connection management is built).
    void controller_seen(std::size_t port, std::span<const std::uint8_t> frame,
                         std::uint64_t controller_entity_id, Instant now);
    void controller_available_response(std::size_t port, std::span<const std::uint8_t> frame,
                                       Instant now);
    std::expected<void, Error> aem_command(std::size_t port, std::span<const std::uint8_t> frame,
                                           Instant now);
    void acmp_listener(std::size_t port, std::span<const std::uint8_t> frame, Instant now);
    void acmp_talker(std::size_t port, std::span<const std::uint8_t> frame, Instant now);

    void send(std::size_t port, std::span<const std::uint8_t> frame);

    entity::EntityModel model_;
    DeviceHooks& hooks_;
    net::FrameSender& sender_;
    std::array<bool, kAvdeccPortCount> advertise_requested_{};
    commands::Notifier notifier_;
    commands::Counters counters_;
    commands::StreamRuntime runtime_;
    commands::AemHandler handler_;
};

}  // namespace qz::strimo::avdecc
