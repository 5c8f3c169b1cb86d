#include "platform/module.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
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

DWORD GetModuleFileName(HMODULE module, char* fileName, DWORD size) {
  if (module != nullptr || (size > 0 && !fileName)) {
    SetLastError(module != nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string path = ModuleFileName();
  if (path.empty()) return 0;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
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
