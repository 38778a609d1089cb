#include "support/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "support/log.h"

namespace qz {

void fatal(std::string_view message, std::source_location where) {
    log::error("fatal", "{} at {}:{}", message, where.file_name(), where.line());
    std::fprintf(stderr, "fatal: %.*s at %s:%u\n", static_cast<int>(message.size()), message.data(),
                 where.file_name(), static_cast<unsigned>(where.line()));
    std::abort();
}

}  // namespace qz
