// The last error is the system's own slot, shared with WSAGetLastError, so
// the numbers the backend's calls leave behind reach the program unchanged.
#include "platform/error.h"

#include "platform/common/backend.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

// The system's text in `language`, without the trailing CR LF and blanks;
// "" when it has none.
std::string SystemText(DWORD code, DWORD language) {
  char* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = ::FormatMessageA(flags, nullptr, code, language, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer) text.assign(buffer, length);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

DWORD GetLastError() { return static_cast<DWORD>(::GetLastError()); }
void SetLastError(DWORD code) { ::SetLastError(code); }

namespace detail {

// The system's own English text, else its text in its language.
std::string SystemErrorText(DWORD code) {
  std::string text = SystemText(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  return text.empty() ? SystemText(code, 0) : text;
}

}  // namespace detail

}  // namespace win
