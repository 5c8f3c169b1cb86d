// Host name resolution for tools that accept names where the program's
// socket calls take dotted addresses only.
#pragma once

#include <optional>
#include <string>

namespace win {

// The first IPv4 address of `name` (a host name or a dotted address) as
// dotted-decimal text, or nullopt with a readable reason in `error` when it
// does not resolve. Blocks while the resolver works. Safe from any thread.
std::optional<std::string> ResolveIPv4(const std::string& name, std::string* error = nullptr);

}  // namespace win
