#include "strimo/avdecc/entity/entity_model.h"

#include <algorithm>

#include "packet/aem_names.h"
#include "support/log.h"

namespace qz::strimo::avdecc::entity {
namespace {

constexpr std::string_view kLogTarget = "strimo::avdecc::entity";

Error no_such_descriptor(std::string_view what, std::uint16_t index) {
    return Error{ErrorKind::NoSuchDescriptor, fmt::format("{} {}", what, index)};
}

template <typename T>
std::expected<T*, Error> at(std::vector<T>& list, std::uint16_t index, std::string_view what) {
    if (index >= list.size()) {
        return std::unexpected(no_such_descriptor(what, index));
    }
    return &list[index];
}

template <typename T>
std::expected<const T*, Error> at(const std::vector<T>& list, std::uint16_t index,
                                  std::string_view what) {
    if (index >= list.size()) {
        return std::unexpected(no_such_descriptor(what, index));
    }
    return &list[index];
}

// Calls visit on every control of the configuration in CONTROL descriptor order.
template <typename C, typename F>
void for_each_control(C& configuration, F&& visit) {
    auto all = [&](auto& controls) {
        for (auto& control : controls) {
            visit(control);
        }
    };
    for (auto& unit : configuration.audio_units) {
        all(unit.controls);
        for (auto& port : unit.input_stream_ports) {
            all(port.controls);
        }
        for (auto& port : unit.output_stream_ports) {
            all(port.controls);
        }
        for (auto& port : unit.input_external_ports) {
            all(port.controls);
        }
        for (auto& port : unit.output_external_ports) {
            all(port.controls);
        }
        for (auto& port : unit.input_internal_ports) {
            all(port.controls);
        }
        for (auto& port : unit.output_internal_ports) {
            all(port.controls);
        }
    }
    for (auto& jack : configuration.input_jacks) {
        all(jack.controls);
    }
    for (auto& jack : configuration.output_jacks) {
        all(jack.controls);
    }
    all(configuration.controls);
}

}  // namespace

EntityModel::EntityModel(Entity entity) : entity_(std::move(entity)) {}

std::optional<std::span<const std::uint8_t>> EntityModel::read_descriptor(
    std::uint16_t configuration_index, std::uint16_t descriptor_type,
    std::uint16_t descriptor_index) {
    if (cache_stale_) {
        cache_ = serialise(entity_);
        cache_stale_ = false;
        ++cache_rebuilds_;
    }
    // The ENTITY descriptor is the same whatever configuration the command names.
    if (descriptor_type == packet::aem::to_u16(packet::aem::DescriptorType::ENTITY)) {
        configuration_index = entity_.current_configuration;
    }
    const auto* bytes = cache_.find(configuration_index, descriptor_type, descriptor_index);
    if (bytes == nullptr) {
        log::debug(kLogTarget, "Config: AEM descriptor {}#{} not found",
                   packet::aem::descriptor_type_name(descriptor_type), descriptor_index);
        return std::nullopt;
    }
    return std::span<const std::uint8_t>(*bytes);
}

Configuration* EntityModel::current() {
    return entity_.current_configuration < entity_.configurations.size()
               ? &entity_.configurations[entity_.current_configuration]
               : nullptr;
}

const Configuration* EntityModel::current() const {
    return entity_.current_configuration < entity_.configurations.size()
               ? &entity_.configurations[entity_.current_configuration]
               : nullptr;
}

void EntityModel::changed() {
    dirty_ = true;
    cache_stale_ = true;
}

std::expected<const Stream*, Error> EntityModel::stream(Direction direction,
                                                        std::uint16_t index) const {
    const auto* c = current();
    if (c == nullptr) {
        return std::unexpected(no_such_descriptor("CONFIGURATION", entity_.current_configuration));
    }
    return direction == Direction::Input ? at(c->input_streams, index, "STREAM_INPUT")
                                         : at(c->output_streams, index, "STREAM_OUTPUT");
}

std::expected<const AudioUnit*, Error> EntityModel::audio_unit(std::uint16_t index) const {
    const auto* c = current();
    if (c == nullptr) {
        return std::unexpected(no_such_descriptor("CONFIGURATION", entity_.current_configuration));
    }
    return at(c->audio_units, index, "AUDIO_UNIT");
}

std::expected<const ClockDomain*, Error> EntityModel::clock_domain(std::uint16_t index) const {
    const auto* c = current();
    if (c == nullptr) {
        return std::unexpected(no_such_descriptor("CONFIGURATION", entity_.current_configuration));
    }
    return at(c->clock_domains, index, "CLOCK_DOMAIN");
}

std::expected<const MemoryObject*, Error> EntityModel::memory_object(std::uint16_t index) const {
    const auto* c = current();
    if (c == nullptr) {
        return std::unexpected(no_such_descriptor("CONFIGURATION", entity_.current_configuration));
    }
    return at(c->memory_objects, index, "MEMORY_OBJECT");
}

std::expected<const AudioStreamPort*, Error> EntityModel::stream_port(Direction direction,
                                                                      std::uint16_t index) const {
    const auto* c = current();
    const char* what = direction == Direction::Input ? "STREAM_PORT_INPUT" : "STREAM_PORT_OUTPUT";
    if (c != nullptr) {
        std::size_t remaining = index;
        for (const auto& unit : c->audio_units) {
            const auto& ports =
                direction == Direction::Input ? unit.input_stream_ports : unit.output_stream_ports;
            if (remaining < ports.size()) {
                return &ports[remaining];
            }
            remaining -= ports.size();
        }
    }
    return std::unexpected(no_such_descriptor(what, index));
}

std::expected<const Control*, Error> EntityModel::control(std::uint16_t index) const {
    // The lookup is the same walk as the mutable one.
    auto* self = const_cast<EntityModel*>(this);
    if (auto* found = self->find_control(index)) {
        return found;
    }
    return std::unexpected(no_such_descriptor("CONTROL", index));
}

Control* EntityModel::find_control(std::uint16_t index) {
    auto* c = current();
    if (c == nullptr) {
        return nullptr;
    }
    Control* found = nullptr;
    std::size_t position = 0;
    for_each_control(*c, [&](Control& control) {
        if (position++ == index) {
            found = &control;
        }
    });
    return found;
}

void EntityModel::set_entity_name(std::string name) {
    entity_.entity_name = std::move(name);
    changed();
}

void EntityModel::set_group_name(std::string name) {
    entity_.group_name = std::move(name);
    changed();
}

std::expected<void, Error> EntityModel::set_current_stream_format(Direction direction,
                                                                  std::uint16_t index,
                                                                  std::uint64_t format) {
    auto found = stream(direction, index);
    if (!found) {
        return std::unexpected(found.error());
    }
    const auto& formats = (*found)->stream_formats;
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
        return std::unexpected(Error{ErrorKind::ParameterInvalid,
                                     fmt::format("stream format {:#018x} not offered", format)});
    }
    const_cast<Stream*>(*found)->current_stream_format = format;
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_presentation_time_offset(Direction direction,
                                                                     std::uint16_t index,
                                                                     std::uint32_t offset) {
    auto found = stream(direction, index);
    if (!found) {
        return std::unexpected(found.error());
    }
    const_cast<Stream*>(*found)->presentation_time_offset = offset;
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_current_sampling_rate(std::uint16_t audio_unit_index,
                                                                  std::uint32_t rate) {
    auto found = audio_unit(audio_unit_index);
    if (!found) {
        return std::unexpected(found.error());
    }
    const auto& rates = (*found)->sampling_rates;
    if (std::find(rates.begin(), rates.end(), rate) == rates.end()) {
        return std::unexpected(
            Error{ErrorKind::ParameterInvalid, fmt::format("sampling rate {} not offered", rate)});
    }
    const_cast<AudioUnit*>(*found)->current_sampling_rate = rate;
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_clock_source_index(std::uint16_t domain_index,
                                                               std::uint16_t source) {
    auto found = clock_domain(domain_index);
    if (!found) {
        return std::unexpected(found.error());
    }
    if (source >= (*found)->clock_sources.size()) {
        return std::unexpected(Error{ErrorKind::ParameterInvalid,
                                     fmt::format("clock source index {} out of range", source)});
    }
    const_cast<ClockDomain*>(*found)->clock_source_index = source;
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_control_values(std::uint16_t index,
                                                           ControlValues values) {
    auto* found = find_control(index);
    if (found == nullptr) {
        return std::unexpected(no_such_descriptor("CONTROL", index));
    }
    if (found->values.index() != values.index()) {
        return std::unexpected(
            Error{ErrorKind::ParameterInvalid, "control value type differs from the control's"});
    }
    found->values = std::move(values);
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_memory_object_length(std::uint16_t index,
                                                                 std::uint64_t length) {
    auto found = memory_object(index);
    if (!found) {
        return std::unexpected(found.error());
    }
    if (length > (*found)->maximum_length) {
        return std::unexpected(Error{ErrorKind::ParameterInvalid,
                                     fmt::format("length {} above maximum_length", length)});
    }
    const_cast<MemoryObject*>(*found)->length = length;
    changed();
    return {};
}

std::expected<void, Error> EntityModel::set_dynamic_mappings(Direction direction,
                                                             std::uint16_t port_index,
                                                             std::vector<AudioMapping> mappings) {
    auto* config = current();
    if (config == nullptr || config->audio_units.empty()) {
        return std::unexpected(no_such_descriptor("AUDIO_UNIT", 0));
    }
    auto& ports = direction == Direction::Input ? config->audio_units[0].input_stream_ports
                                                : config->audio_units[0].output_stream_ports;
    if (port_index >= ports.size()) {
        return std::unexpected(no_such_descriptor(
            direction == Direction::Input ? "STREAM_PORT_INPUT" : "STREAM_PORT_OUTPUT",
            port_index));
    }
    ports[port_index].maps_dyn = std::move(mappings);
    changed();
    return {};
}

}  // namespace qz::strimo::avdecc::entity
