#include "platform/module.h"

#include <cstring>
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

DWORD GetModuleFileName(HMODULE module, char* fileName, DWORD size) {
  if (module != nullptr || (!fileName && size > 0)) {
    SetLastError(module != nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // The system's call leaves a cut name without its NUL on some versions;
  // the cut is made here, always terminated.
  const std::string path = ModuleFileName();
  if (path.empty()) return 0;
  if (path.size() < size) {
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(fileName, path.data(), size - 1);
  fileName[size - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace win
