// The entity model as the stack owns it: the records, a dirty flag for persisting, and the
// descriptor cache that is rebuilt before the next read after any change.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/entity/descriptors.h"
#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc::entity {

enum class Direction { Input, Output };

class EntityModel {
public:
    explicit EntityModel(Entity entity);

    const Entity& entity() const { return entity_; }

    // The serialised descriptor, or nothing (logged at debug level) when the model has none.
    // A changed model is re-serialised first.
    std::optional<std::span<const std::uint8_t>> read_descriptor(std::uint16_t configuration_index,
                                                                 std::uint16_t descriptor_type,
                                                                 std::uint16_t descriptor_index);

    // Set by every change; the owner clears it once it has handed a copy to persisting.
    bool dirty() const { return dirty_; }
    void clear_dirty() { dirty_ = false; }
    std::size_t cache_rebuilds() const { return cache_rebuilds_; }

    // Lookups in the current configuration.
    std::expected<const Stream*, Error> stream(Direction direction, std::uint16_t index) const;
    std::expected<const AudioUnit*, Error> audio_unit(std::uint16_t index) const;
    std::expected<const ClockDomain*, Error> clock_domain(std::uint16_t index) const;
    std::expected<const MemoryObject*, Error> memory_object(std::uint16_t index) const;
    std::expected<const AudioStreamPort*, Error> stream_port(Direction direction,
                                                             std::uint16_t index) const;
    // A control by its CONTROL descriptor index (traversal order).
    std::expected<const Control*, Error> control(std::uint16_t index) const;
    const std::optional<MilanInfo>& milan_info() const { return entity_.milan_info; }

    // Setters; each successful one marks the model dirty.
    void set_entity_name(std::string name);
    void set_group_name(std::string name);
    std::expected<void, Error> set_current_stream_format(Direction direction, std::uint16_t index,
                                                         std::uint64_t format);
    std::expected<void, Error> set_presentation_time_offset(Direction direction,
                                                            std::uint16_t index,
                                                            std::uint32_t offset);
    std::expected<void, Error> set_current_sampling_rate(std::uint16_t audio_unit,
                                                         std::uint32_t rate);
    std::expected<void, Error> set_clock_source_index(std::uint16_t clock_domain,
                                                      std::uint16_t source);
    std::expected<void, Error> set_control_values(std::uint16_t index, ControlValues values);
    std::expected<void, Error> set_memory_object_length(std::uint16_t index, std::uint64_t length);
    // Replaces the dynamic mappings of a stream port of the first audio unit. The dynamic
    // partition bounds what controllers may map; the device itself may map any cluster.
    std::expected<void, Error> set_dynamic_mappings(Direction direction, std::uint16_t port_index,
                                                    std::vector<AudioMapping> mappings);

private:
    Configuration* current();
    const Configuration* current() const;
    Control* find_control(std::uint16_t index);
    void changed();

    Entity entity_;
    DescriptorCache cache_;
    bool cache_stale_{true};
    bool dirty_{false};
    std::size_t cache_rebuilds_{0};
};

}  // namespace qz::strimo::avdecc::entity
