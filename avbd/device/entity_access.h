// What the device control loop needs of the AVDECC entity, behind an interface of its own so the
// loop can be driven with a fake entity in tests.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "strimo/avdecc/entity/entity_model.h"
#include "support/clock.h"

namespace qz::strimo {
class Stack;
}

namespace qz::avbd {

class EntityAccess {
public:
    virtual ~EntityAccess() = default;

    // Whether a controller holds the entity acquired or locked.
    virtual bool locked_by_controller(Instant now) = 0;
    virtual const strimo::avdecc::entity::Entity& entity() const = 0;

    virtual std::expected<void, std::string> set_current_sampling_rate(std::uint32_t rate_hz) = 0;
    virtual std::expected<void, std::string> set_clock_source(std::uint16_t source_index) = 0;
    // A control by its CONTROL descriptor index.
    virtual std::expected<void, std::string> set_control_values(
        std::uint16_t index, strimo::avdecc::entity::ControlValues values) = 0;
    // The dynamic mappings of stream port 0 of a direction.
    virtual std::expected<void, std::string> set_dynamic_mappings(
        strimo::avdecc::entity::Direction direction,
        std::vector<strimo::avdecc::entity::AudioMapping> mappings) = 0;

    // The model changed: a copy goes to the persistor.
    virtual void mark_changed() = 0;
    // An unsolicited response to the registered controllers.
    virtual void notify_unsolicited(std::uint16_t command_type, std::uint16_t descriptor_type,
                                    std::uint16_t descriptor_index, Instant now) = 0;
};

// Over the stack's AVDECC entity. Controller locks and unsolicited notifications are the AEM
// command handler's; until the entity offers them this reports "not locked" and sends nothing.
class StackEntityAccess final : public EntityAccess {
public:
    using Persist = std::function<void(const strimo::avdecc::entity::Entity&)>;
    StackEntityAccess(strimo::Stack& stack, Persist persist);

    bool locked_by_controller(Instant now) override;
    const strimo::avdecc::entity::Entity& entity() const override;
    std::expected<void, std::string> set_current_sampling_rate(std::uint32_t rate_hz) override;
    std::expected<void, std::string> set_clock_source(std::uint16_t source_index) override;
    std::expected<void, std::string> set_control_values(
        std::uint16_t index, strimo::avdecc::entity::ControlValues values) override;
    std::expected<void, std::string> set_dynamic_mappings(
        strimo::avdecc::entity::Direction direction,
        std::vector<strimo::avdecc::entity::AudioMapping> mappings) override;
    void mark_changed() override;
    void notify_unsolicited(std::uint16_t command_type, std::uint16_t descriptor_type,
                            std::uint16_t descriptor_index, Instant now) override;

    // Hands the model to the persistor when anything changed it since the last hand-over
    // (a controller's command, for one).
    void persist_if_dirty();

private:
    strimo::avdecc::entity::EntityModel& model();
    const strimo::avdecc::entity::EntityModel& model() const;
    strimo::Stack& stack_;
    Persist persist_;
};

}  // namespace qz::avbd
