#include "base/exception.h"

#include "base/format.h"
#include "platform/error.h"

namespace kv {
namespace {

std::string OSErrorText(std::uint32_t code) {
  if (code == 0) return "A call to an OS function failed";
  return Format("System Error.  Code: %d.\r\n%s", {static_cast<std::int64_t>(code), SysErrorMessage(code)});
}

}  // namespace

std::string SysErrorMessage(std::uint32_t code) {
  std::string text = win::FormatSystemMessage(code);
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c > 32 && c != '.') break;
    text.pop_back();
  }
  return text;
}

EOSError::EOSError(std::uint32_t code) : Exception(OSErrorText(code)), code_(code) {}

void RaiseLastOSError() { throw EOSError(win::GetLastError()); }

std::string EInOutError::TextFor(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    default: return Format("I/O error %d", {static_cast<std::int64_t>(code)});
  }
}

EInOutError::EInOutError(int code) : Exception(TextFor(code)), code_(code) {}

}  // namespace kv
