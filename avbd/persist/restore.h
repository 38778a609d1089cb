// Laying the persisted entity over the freshly built one at start: only the values a controller
// can change are taken, and each only when the built entity allows it.
#pragma once

#include <string>

#include "strimo/avdecc/entity/model.h"

namespace qz::avbd::persist {

// Copies the changeable values of `stored` into `built` (see the rules in the source).
void restore_from(strimo::avdecc::entity::Entity& built,
                  const strimo::avdecc::entity::Entity& stored);

// `built` with the values of "current.json" in `directory` laid over it; unchanged when the file
// is missing or does not parse.
strimo::avdecc::entity::Entity restore_entity_values(strimo::avdecc::entity::Entity built,
                                                     const std::string& directory);

}  // namespace qz::avbd::persist
