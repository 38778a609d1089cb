#include "avbd/device/entity_access.h"

#include "strimo/stack.h"
#include "support/fatal.h"

namespace qz::avbd {

StackEntityAccess::StackEntityAccess(strimo::Stack& stack, Persist persist)
    : stack_(stack), persist_(std::move(persist)) {}

strimo::avdecc::entity::EntityModel& StackEntityAccess::model() {
    auto* entity = stack_.entity();
    if (entity == nullptr) {
        fatal("device layer used before the entity was attached");
    }
    return entity->model();
}

const strimo::avdecc::entity::EntityModel& StackEntityAccess::model() const {
    return const_cast<StackEntityAccess*>(this)->model();
}

bool StackEntityAccess::locked_by_controller(Instant now) {
    auto* entity = stack_.entity();
    return entity != nullptr && entity->locked_by_controller(now);
}

const strimo::avdecc::entity::Entity& StackEntityAccess::entity() const {
    return model().entity();
}

std::expected<void, std::string> StackEntityAccess::set_current_sampling_rate(
    std::uint32_t rate_hz) {
    auto set = model().set_current_sampling_rate(0, rate_hz);
    if (!set) {
        return std::unexpected(set.error().text());
    }
    return {};
}

std::expected<void, std::string> StackEntityAccess::set_clock_source(std::uint16_t source_index) {
    auto set = model().set_clock_source_index(0, source_index);
    if (!set) {
        return std::unexpected(set.error().text());
    }
    return {};
}

std::expected<void, std::string> StackEntityAccess::set_control_values(
    std::uint16_t index, strimo::avdecc::entity::ControlValues values) {
    auto set = model().set_control_values(index, std::move(values));
    if (!set) {
        return std::unexpected(set.error().text());
    }
    return {};
}

std::expected<void, std::string> StackEntityAccess::set_dynamic_mappings(
    strimo::avdecc::entity::Direction direction,
    std::vector<strimo::avdecc::entity::AudioMapping> mappings) {
    auto set = model().set_dynamic_mappings(direction, 0, std::move(mappings));
    if (!set) {
        return std::unexpected(set.error().text());
    }
    return {};
}

void StackEntityAccess::mark_changed() {
    persist_(model().entity());
    model().clear_dirty();
}

void StackEntityAccess::persist_if_dirty() {
    if (stack_.entity() != nullptr && model().dirty()) {
        mark_changed();
    }
}

void StackEntityAccess::notify_unsolicited(std::uint16_t command_type,
                                           std::uint16_t descriptor_type,
                                           std::uint16_t descriptor_index, Instant now) {
    if (auto* entity = stack_.entity()) {
        entity->notify_unsolicited(command_type, descriptor_type, descriptor_index, now);
    }
}

}  // namespace qz::avbd
