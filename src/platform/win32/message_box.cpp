// A message box on the desktop, and the same text on the standard stream
// the program was given (a console, a file, a pipe): an installer run from
// a script, or in a session without a desktop, still tells its result.
#include "platform/message_box.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/win32/sdk.h"

namespace win {
namespace {

bool HasStream(DWORD which) {
  ::HANDLE handle = ::GetStdHandle(which);
  return handle != nullptr && handle != detail::kSystemInvalidHandle && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// Whether boxes can be seen: the process's window station is the
// interactive one (services and scheduled tasks have none).
bool HasVisibleDesktop() {
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  ::DWORD needed = 0;
  if (!station || !::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags), &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

int MessageBox(const char* text, const char* caption, UINT type) {
  const UINT icon = type & MB_ICONMASK;
  const bool error = icon == MB_ICONERROR || icon == MB_ICONWARNING;
  std::string box = caption ? caption : "Error";
  box += '\n';
  std::string_view body = text ? text : "";
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
    box += body[i];
  }
  if (box.back() != '\n') box += '\n';
  static std::mutex printing;
  std::lock_guard<std::mutex> guard(printing);
  if (HasStream(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {
    std::FILE* stream = error ? stderr : stdout;
    std::fflush(stdout);
    std::fwrite(box.data(), 1, box.size(), stream);
    std::fflush(stream);
  }
  if (!HasVisibleDesktop()) return IDOK;
  // Without a display (Wine with no X server) the box fails at once; the
  // text has been printed above.
  int answer = ::MessageBoxA(nullptr, text ? text : "", caption ? caption : "Error", type | MB_SETFOREGROUND);
  return answer <= 0 ? IDOK : answer;
}

}  // namespace win
