#include "packet/aem_names.h"

#include <array>
#include <utility>

namespace qz::packet::aem {
namespace {

struct Named {
    std::uint16_t value;
    std::string_view name;
};

#define QZ_NAME_ENTRY(name, value) Named{value, #name},
constexpr std::array kCommandNames{QZ_AEM_COMMAND_TYPES(QZ_NAME_ENTRY)};
constexpr std::array kDescriptorNames{QZ_DESCRIPTOR_TYPES(QZ_NAME_ENTRY)};
#undef QZ_NAME_ENTRY

// Both tables are dense from 0, so the value is the position.
static_assert([] {
    for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
        if (kCommandNames[i].value != i) {
            return false;
        }
    }
    for (std::size_t i = 0; i < kDescriptorNames.size(); ++i) {
        if (kDescriptorNames[i].value != i) {
            return false;
        }
    }
    return true;
}());
static_assert(kDescriptorNames.size() == 38);

}  // namespace

std::string_view command_type_name(std::uint16_t command_type) {
    return command_type < kCommandNames.size() ? kCommandNames[command_type].name : "UNKNOWN";
}

std::string_view descriptor_type_name(std::uint16_t descriptor_type) {
    return descriptor_type < kDescriptorNames.size() ? kDescriptorNames[descriptor_type].name
                                                     : "INVALID";
}

}  // namespace qz::packet::aem
