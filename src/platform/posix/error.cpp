#include "platform/error.h"

#include <cstring>

#include "platform/common/backend.h"

namespace win {
namespace {

thread_local DWORD tLastError = 0;

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

namespace detail {

// Numbers of our own making that Windows does not have (errno values passed
// on): the C library's text is the best a person can get.
std::string SystemErrorText(DWORD code) {
  if (code >= 10000) return "";
  char buf[256];
  const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return text && *text ? std::string(text) + "." : "";
}

}  // namespace detail

}  // namespace win
