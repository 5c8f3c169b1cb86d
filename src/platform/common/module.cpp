// GetModuleFileName over the whole path that each backend's ModuleFileName
// reads: the cut to the caller's buffer is made here, always terminated (the
// system's own call leaves a cut name without its NUL on some versions).
#include "platform/module.h"

#include <cstring>
#include <string>

#include "platform/error.h"

namespace win {

DWORD GetModuleFileName(HMODULE module, char* fileName, DWORD size) {
  if (module != nullptr || (!fileName && size > 0)) {
    SetLastError(module != nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
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
