// Ends the process at once on a broken invariant: no unwinding, the supervisor restarts it.
#pragma once

#include <source_location>
#include <string_view>

namespace qz {

[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current());

}  // namespace qz
