#include "platform/module.h"

#include <string>

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {

std::string ModuleFileName() {
  // GetModuleFileNameA fills the buffer whole and reports 122 when the path
  // is longer; grow until it fits.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return "";
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace win
