#include "app/command_line.h"

#include "base/ascii.h"

namespace kv {

bool HasSwitch(const std::vector<std::string>& args, std::string_view name) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.empty() || (arg.front() != '/' && arg.front() != '-')) continue;
    if (EqualsNoCase(arg.substr(1), name)) return true;
  }
  return false;
}

bool HasLongOption(const std::vector<std::string>& args, std::string_view name) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.size() == name.size() + 2 && arg.substr(0, 2) == "--" && arg.substr(2) == name) return true;
  }
  return false;
}

std::string FirstUnknownLongOption(const std::vector<std::string>& args, const std::vector<std::string_view>& known) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.substr(0, 2) != "--") continue;
    bool isKnown = false;
    for (std::string_view name : known) isKnown = isKnown || arg.substr(2) == name;
    if (!isKnown) return args[i];
  }
  return "";
}

}  // namespace kv
