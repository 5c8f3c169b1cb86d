// A message box on the desktop, and the same text on the standard stream
// the program was given (a console, a file, a pipe): an installer run from
// a script, or in a session without a desktop, still tells its result.
#include "platform/message_box.h"

#include "platform/common/backend.h"
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

namespace detail {

bool HasStandardStream(bool error) { return HasStream(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE); }

int ShowMessageBox(const char* text, const char* caption, UINT type) {
  if (!HasVisibleDesktop()) return IDOK;
  // Without a display (Wine with no X server) the box fails at once; the
  // text has been printed.
  int answer = ::MessageBoxA(nullptr, text, caption, type | MB_SETFOREGROUND);
  return answer <= 0 ? IDOK : answer;
}

}  // namespace detail

}  // namespace win
