// The error of the AVB stack as the daemon reports it.
#pragma once

#include <string>

namespace qz::strimo {

struct StackError {
    std::string cause;
    std::string text() const { return "strimo error: " + cause; }
};

}  // namespace qz::strimo
