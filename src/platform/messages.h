// Thread message queues, hidden windows, timers: the Windows message model.
//
// Each thread gets a message queue on its first call to CreateHiddenWindow,
// GetMessage, PeekMessage or SetTimer. A thread waiting in GetMessage sleeps
// in one poll over its queue's wake-up descriptor, the deadlines of its timers
// and the sockets that asked it for read notifications (WSAAsyncSelect); there
// is no polling interval and no busy waiting.
#pragma once

#include <functional>

#include "platform/types.h"

namespace win {

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

struct MSG {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// A window procedure. An exception that escapes it leaves DispatchMessage
// (or SendMessage) in the calling thread.
using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

// Platform thread id of the calling thread (never 0). Thread-safe.
DWORD GetCurrentThreadId();

// Creates a hidden window owned by the calling thread, whose messages are
// dispatched to `proc`. Returns nullptr and sets the last error on failure.
HWND CreateHiddenWindow(WNDPROC proc);
// Destroys the window and its timers; messages still queued for it are
// dropped when they are taken. Calling thread must own the window.
BOOL DestroyWindow(HWND hwnd);
// True while `hwnd` names a live window.
BOOL IsWindow(HWND hwnd);

// Queues a message for the window's thread. Safe from any thread. Fails with
// ERROR_INVALID_WINDOW_HANDLE for a destroyed window.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a window-less message for a thread. Safe from any thread. Fails with
// ERROR_INVALID_THREAD_ID, dropping the message, when that thread has no
// queue (yet, or any more).
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT for the calling thread.
void PostQuitMessage(int exitCode);

// Takes the next message for the calling thread, waiting until one comes.
// `hwnd` nullptr takes messages of every window and window-less ones;
// min == max == 0 takes every number. Returns 0 for WM_QUIT, -1 on error,
// else nonzero. Messages sent with SendMessage from other threads are
// handled inside this call.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax);
// As GetMessage without waiting; FALSE when nothing matches. PM_NOREMOVE
// leaves the message queued.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg);
// Calls the window procedure of msg->hwnd (WM_TIMER included). Returns 0 for
// window-less messages and windows that no longer exist.
LRESULT DispatchMessage(const MSG* msg);
// Default handling: returns 0 for every message.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Runs the window procedure on the window's own thread and waits for its
// result. From the owning thread the procedure is called directly. From
// another thread the call is handled the next time the owner waits in
// GetMessage or calls PeekMessage; an exception escaping the procedure there
// is carried back and rethrown in the sending thread. Returns 0 with
// ERROR_INVALID_WINDOW_HANDLE when the window is gone or its thread ends
// before handling the call.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Timers delivered as WM_TIMER (wParam = id) to `hwnd` through its thread's
// queue. The calling thread must own the window. Setting an existing id
// restarts its count. Returns the id, or 0 with the last error set when no
// timer can be had. An elapse of 0 is taken as 1 ms, as Windows clamps it.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

}  // namespace win
