// The JSON form of the entity model (the content of the persisted model file).
//
// Member order is fixed; identifiers, addresses, formats and flag words are "0x"-prefixed
// lower-case hexadecimal strings of at least two digits (the reader also takes plain numbers),
// counts and indices are numbers, absent optional records are null.
#pragma once

#include <array>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "strimo/avdecc/avdecc_error.h"
#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc::entity {

// The JSON member name of each ControlValues alternative, by variant index.
extern const std::array<std::string_view, std::variant_size_v<ControlValues>> kControlValueNames;

nlohmann::ordered_json to_json(const Entity& entity);
// Compact JSON text of the whole entity.
std::string save(const Entity& entity);
// Reads an entity; any malformed text, wrong member type, missing member or out-of-range value
// gives an EntityParseError carrying the reader's message.
std::expected<Entity, Error> load(std::string_view text);

}  // namespace qz::strimo::avdecc::entity
