// Descriptor serialisation: the entity model laid out as AEM descriptors for READ_DESCRIPTOR.
//
// Descriptors that belong to a parent (controls, stream ports, external and internal ports,
// clusters, maps) are numbered across the whole configuration in traversal order: for each audio
// unit its controls, its stream input ports (each followed by its controls, clusters and maps),
// its stream output ports, external input and output ports, internal input and output ports; then
// the stream inputs and outputs, the jacks with their controls, AVB interfaces, clock sources,
// memory objects, clock domains and the configuration's own controls. Each parent records the
// index of its first child and the count.
//
// Localized strings: every distinct non-empty localized_description, vendor_name or model_name
// gets a number n in order of first use; the reference written is n + n / 7 (STRINGS descriptor
// n / 7, slot n mod 7). Every locale carries the generated STRINGS descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc::entity {

constexpr std::size_t kNameSize = 64;
constexpr std::size_t kStringsPerDescriptor = 7;
// No localized string: the reference IEEE 1722.1 reserves for an absent string.
constexpr std::uint16_t kNoString = 0xFFFF;

constexpr std::uint16_t string_reference(std::size_t n) {
    return static_cast<std::uint16_t>(n + n / kStringsPerDescriptor);
}

// The texts that become localized strings, in order of first use.
std::vector<std::string> localized_strings(const Entity& entity,
                                           const Configuration& configuration);

// The generated strings split into STRINGS descriptors of seven.
std::vector<Strings> strings_descriptors(const std::vector<std::string>& texts);

// The first `kNameSize` bytes of a text, cut before a character that would not fit whole.
std::string_view name_prefix(std::string_view text);

class DescriptorCache {
public:
    const std::vector<std::uint8_t>* find(std::uint16_t configuration_index,
                                          std::uint16_t descriptor_type,
                                          std::uint16_t descriptor_index) const;
    void add(std::uint16_t configuration_index, std::uint16_t descriptor_type,
             std::uint16_t descriptor_index, std::vector<std::uint8_t> bytes);

    std::size_t descriptor_count() const { return entries_.size(); }
    std::size_t total_bytes() const { return total_bytes_; }

private:
    std::map<std::uint64_t, std::vector<std::uint8_t>> entries_;
    std::size_t total_bytes_{0};
};

// Serialises every descriptor of the entity: the ENTITY descriptor (stored under every
// configuration index) and all descriptors of each configuration.
DescriptorCache serialise(const Entity& entity);

// The IEEE 1722.1 control_value_type of the values (without the read-only and unknown bits).
std::uint16_t control_value_type(const ControlValues& values);

}  // namespace qz::strimo::avdecc::entity
