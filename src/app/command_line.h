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

// Options in the GNU style ("--name"), which live beside the switches: true
// when one of args[1..] equals "--" + name exactly.
bool HasLongOption(const std::vector<std::string>& args, std::string_view name);

// The first of args[1..] that begins with "--" and is not "--" + one of
// `known`; "" when there is none. "--" alone counts as unknown: the program
// takes no operands it could introduce.
std::string FirstUnknownLongOption(const std::vector<std::string>& args, const std::vector<std::string_view>& known);

}  // namespace kv
