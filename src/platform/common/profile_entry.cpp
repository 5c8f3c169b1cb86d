#include "platform/common/profile_entry.h"

namespace win::detail {

bool ProfileEntryWritable(std::string_view section, std::string_view key, std::string_view value) {
  constexpr std::string_view kBreaks("\r\n\0", 3);
  if (section.empty() || key.empty()) return false;
  if (section.find_first_of(kBreaks) != std::string_view::npos || section.find(']') != std::string_view::npos)
    return false;
  if (key.find_first_of(kBreaks) != std::string_view::npos || key.find('=') != std::string_view::npos) return false;
  if (key.front() == ';' || key.front() == '[') return false;
  return value.find_first_of(kBreaks) == std::string_view::npos;
}

}  // namespace win::detail
