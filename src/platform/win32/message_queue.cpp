// The thread message queue is the system's own: PostMessageA,
// PostThreadMessageA, GetMessageA and PeekMessageA. What is added here:
// messages the program must not see are passed over (see IsStaleMessage),
// the idle handler runs before GetMessage waits, and an exception a window
// procedure threw inside the system's call is rethrown.
#include <functional>
#include <utility>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/win32/datagram_reader.h"
#include "platform/win32/manual_timers.h"
#include "platform/win32/window_procs.h"

namespace win {
namespace detail {
namespace {

// A pointer, not a std::function: a thread-local variable with a destructor
// may find its storage freed when the thread ends (mingw-w64). Kept until
// the thread sets another.
thread_local std::function<void()>* tIdleHandler = nullptr;

// A failed system call: its error becomes the last error the program reads.
BOOL FailedCall() {
  SetLastError(::GetLastError());
  return FALSE_;
}

// The filter as the system takes it. HWND_THREAD_MESSAGES is the system's
// own value for "window-less messages only" (-1).
::HWND Filter(HWND hwnd) { return ToSystem(hwnd); }

bool CheckFilter(HWND hwnd) {
  if (hwnd == nullptr || hwnd == HWND_THREAD_MESSAGES) return true;
  if (!::IsWindow(ToSystem(hwnd)) || ::GetWindowThreadProcessId(ToSystem(hwnd), nullptr) != ::GetCurrentThreadId()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return true;
}

void Copy(const ::MSG& from, MSG* to) { *to = MSG{FromSystem(from.hwnd), from.message, from.wParam, from.lParam}; }

}  // namespace

bool IsStaleMessage(const ::MSG& msg, bool taken) {
  if (msg.hwnd != nullptr && !::IsWindow(msg.hwnd)) return true;
  return taken && msg.message == WM_TIMER && StaleManualTick(msg);
}

}  // namespace detail

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(detail::ToSystem(hwnd), msg, wParam, lParam) ? TRUE_ : detail::FailedCall();
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostThreadMessageA(threadId, msg, wParam, lParam) ? TRUE_ : detail::FailedCall();
}

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

BOOL GetMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
  if (!msg || !detail::CheckFilter(hwnd)) return -1;
  bool idleCalled = false;
  for (;;) {
    ::MSG system;
    if (detail::tIdleHandler && *detail::tIdleHandler && !idleCalled &&
        !::PeekMessageA(&system, detail::Filter(hwnd), msgFilterMin, msgFilterMax, PM_NOREMOVE)) {
      idleCalled = true;
      detail::RethrowPendingException();
      (*detail::tIdleHandler)();
    }
    const BOOL got = ::GetMessageA(&system, detail::Filter(hwnd), msgFilterMin, msgFilterMax);
    detail::RethrowPendingException();
    if (got == -1) {
      SetLastError(::GetLastError());
      return -1;
    }
    if (got != 0 && detail::IsStaleMessage(system, true)) continue;
    detail::Copy(system, msg);
    return got != 0 ? TRUE_ : FALSE_;
  }
}

void SetIdleHandler(std::function<void()> handler) {
  delete std::exchange(detail::tIdleHandler, handler ? new std::function<void()>(std::move(handler)) : nullptr);
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
  if (!msg || !detail::CheckFilter(hwnd)) return FALSE_;
  const UINT remove = (removeMsg & PM_REMOVE) ? PM_REMOVE : PM_NOREMOVE;
  bool lookedAtSockets = false;
  for (;;) {
    ::MSG system;
    BOOL got = ::PeekMessageA(&system, detail::Filter(hwnd), msgFilterMin, msgFilterMax, remove);
    if (!got && !lookedAtSockets) {
      lookedAtSockets = true;
      detail::AnnounceArrivedDatagrams();
      got = ::PeekMessageA(&system, detail::Filter(hwnd), msgFilterMin, msgFilterMax, remove);
    }
    detail::RethrowPendingException();
    if (!got) return FALSE_;
    if (system.message != WM_QUIT && detail::IsStaleMessage(system, remove == PM_REMOVE)) {
      // Passed over: taken off the queue even by a look that leaves the
      // others there.
      if (remove == PM_NOREMOVE)
        ::PeekMessageA(&system, detail::Filter(hwnd), system.message, system.message, PM_REMOVE);
      continue;
    }
    detail::Copy(system, msg);
    return TRUE_;
  }
}

}  // namespace win
