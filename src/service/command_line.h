// Command-line switches: "/NAME" or "-NAME".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv {

// True when one of args[1..] (args[0], the program path, is not looked at)
// starts with '/' or '-' and the whole rest equals `name` without regard to
// letter case (ASCII letters): "/install", "-INSTALL" and "/Install" match
// INSTALL; "INSTALL", "/INSTALLX" and "/" do not.
bool HasSwitch(const std::vector<std::string>& args, std::string_view name);

}  // namespace kv
