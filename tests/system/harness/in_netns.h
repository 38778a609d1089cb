// Runs a piece of code inside another network namespace, on a thread of its own, so the rest
// of the test program stays where it is. Sockets opened there keep belonging to that namespace.
#pragma once

#include <functional>
#include <string>

namespace qz::systest {

void in_netns(const std::string& netns_name, const std::function<void()>& work);

}  // namespace qz::systest
