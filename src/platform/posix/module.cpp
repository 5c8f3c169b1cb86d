// The executable's path is the target of /proc/self/exe.
#include "platform/module.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/error.h"

namespace win {

std::string ModuleFileName() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      SetLastError(ErrorFromErrno(errno));
      return "";
    }
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    if (buffer.size() >= (std::size_t{1} << 20)) {  // no path is that long
      SetLastError(ERROR_INVALID_NAME);
      return "";
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace win
