// What the message files of the Windows backend share: the hidden window
// class whose system window procedure calls the program's WNDPROC, and the
// exception a WNDPROC threw while the system was calling it.
#pragma once

#include <exception>

#include "platform/messages.h"
#include "platform/win32/windows_api.h"

namespace win::detail {

inline ::HWND ToSystem(HWND hwnd) { return reinterpret_cast<::HWND>(hwnd); }
inline HWND FromSystem(::HWND hwnd) { return reinterpret_cast<HWND>(hwnd); }

// True when `hwnd` is a live window of the calling thread; else false with
// the last error Windows gives (invalid handle, or access denied for a
// window of another thread).
bool OwnedByCallingThread(HWND hwnd);

// The system calls window procedures from inside DispatchMessage,
// SendMessage, DestroyWindow, GetMessage and PeekMessage. An exception
// must not unwind through the system's frames: the window procedure keeps
// it, and the call of ours that the system returned to rethrows it.
void RethrowPendingException();

// A message from the system's queue that the program does not see: one
// posted to a window destroyed since, or (`taken` off the queue) a tick a
// timer no longer owes.
bool IsStaleMessage(const ::MSG& msg, bool taken);

}  // namespace win::detail
