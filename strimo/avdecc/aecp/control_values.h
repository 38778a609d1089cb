// The current values of a control as GET_CONTROL and SET_CONTROL carry them: only the current
// value of each item, in the control's value type, big-endian.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc::commands {

std::vector<std::uint8_t> encode_current_values(const entity::ControlValues& values);

// `values` with the current values replaced by the bytes of a SET_CONTROL. The bytes must hold
// exactly what the value type needs, and each new value must lie within its range or among its
// options; otherwise the reason is returned.
std::expected<entity::ControlValues, std::string> decode_current_values(
    const entity::ControlValues& values, std::span<const std::uint8_t> bytes);

}  // namespace qz::strimo::avdecc::commands
