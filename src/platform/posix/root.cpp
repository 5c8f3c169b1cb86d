#include "platform/posix/root.h"

#include <cstdlib>

namespace win {

std::string PlatformRoot() {
  const char* value = std::getenv("KV_PLATFORM_ROOT");
  std::string root = value ? value : "";
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

std::string PlatformPath(std::string_view systemPath) {
  std::string path = PlatformRoot();
  if (systemPath.empty() || systemPath.front() != '/') path += '/';
  path += systemPath;
  return path;
}

}  // namespace win
