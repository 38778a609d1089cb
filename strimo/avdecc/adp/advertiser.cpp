#include "strimo/avdecc/adp/advertiser.h"

#include "packet/adp.h"

namespace qz::strimo::avdecc::adp {

namespace wire = packet::adp;
namespace {
constexpr Duration kReadvertisePeriod = std::chrono::seconds(5);
constexpr std::size_t kMaxDelayMilliseconds = 4000;
}  // namespace

void Advertiser::start(std::uint64_t grandmaster_id, Instant now) {
    grandmaster_id_ = grandmaster_id;
    grandmaster_valid_ = true;
    advertise_soon(now, true);
}

void Advertiser::grandmaster_changed(std::uint64_t grandmaster_id, Instant now) {
    grandmaster_id_ = grandmaster_id;
    advertise_soon(now, false);
}

void Advertiser::discover_received(Instant now) {
    advertise_soon(now, false);
}

void Advertiser::advertise_soon(Instant now, bool starting) {
    if (starting || state_ == AdvertiserState::Waiting) {
        state_ = AdvertiserState::DelayedAdvertise;
        deadline_ = now + random_delay();
    }
}

void Advertiser::depart() {
    if (state_ == AdvertiserState::Waiting || state_ == AdvertiserState::DelayedAdvertise) {
        state_ = AdvertiserState::Departing;
    }
}

Duration Advertiser::random_delay() {
    return std::chrono::milliseconds(random_.below(kMaxDelayMilliseconds + 1));
}

std::expected<std::optional<std::vector<std::uint8_t>>, Error> Advertiser::step(
    Instant now, const entity::Entity& entity) {
    const std::optional<std::vector<std::uint8_t>> nothing;
    switch (state_) {
        case AdvertiserState::Idle:
            return nothing;
        case AdvertiserState::Waiting:
            if (deadline_ && now >= *deadline_) {
                state_ = AdvertiserState::DelayedAdvertise;
                deadline_ = now + random_delay();
            }
            return nothing;
        case AdvertiserState::DelayedAdvertise: {
            if (!deadline_ || now < *deadline_) {
                return nothing;
            }
            if (!grandmaster_valid_) {
                return std::unexpected(Error{ErrorKind::NoValidGrandmaster, {}});
            }
            auto frame = build(true, entity);
            ++available_index_;
            state_ = AdvertiserState::Waiting;
            deadline_ = now + kReadvertisePeriod;
            return frame;
        }
        case AdvertiserState::Departing:
        case AdvertiserState::DepartAndRestart: {
            if (!grandmaster_valid_) {
                return std::unexpected(Error{ErrorKind::NoValidGrandmaster, {}});
            }
            auto frame = build(false, entity);
            available_index_ = 0;
            if (state_ == AdvertiserState::Departing) {
                state_ = AdvertiserState::Idle;
                deadline_.reset();
            } else {
                state_ = AdvertiserState::DelayedAdvertise;
                deadline_ = now + random_delay();
            }
            return frame;
        }
    }
    return nothing;
}

std::vector<std::uint8_t> Advertiser::build(bool available, const entity::Entity& entity) const {
    auto frame = wire::make_frame(available ? wire::MessageType::ENTITY_AVAILABLE
                                            : wire::MessageType::ENTITY_DEPARTING);
    // The frame is made at full ADP size, so none of these writes can fall outside it.
    (void)packet::set(std::span<std::uint8_t>(frame), packet::avtp::kValidTime,
                      static_cast<std::uint16_t>(available ? wire::kValidTimeAvailable : 0));
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kEntityId, entity.entity_id);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kEntityModelId, entity.entity_model_id);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kEntityCapabilities,
                      entity.entity_capabilities);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kTalkerStreamSources,
                      entity.talker_stream_sources);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kTalkerCapabilities,
                      entity.talker_capabilities);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kListenerStreamSinks,
                      entity.listener_stream_sinks);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kListenerCapabilities,
                      entity.listener_capabilities);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kControllerCapabilities,
                      entity.controller_capabilities);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kAvailableIndex, available_index_);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kGptpGrandmasterId, grandmaster_id_);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kInterfaceIndex, interface_index_);
    (void)packet::set(std::span<std::uint8_t>(frame), wire::kAssociationId, entity.association_id);
    return frame;
}

}  // namespace qz::strimo::avdecc::adp
