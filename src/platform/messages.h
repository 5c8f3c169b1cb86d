// Thread message queues, hidden windows, timers: the Windows message model.
//
// Each thread gets a message queue on its first call to CreateHiddenWindow,
// GetMessage, PeekMessage, SendMessage or PostQuitMessage; the queue ends
// with the thread (its windows and timers with it). A thread waiting in
// GetMessage sleeps until a message is posted or sent to it, one of its
// timers comes due or a socket that asked it for read notifications
// (WSAAsyncSelect) has a datagram; there is no polling interval and no busy
// waiting.
#pragma once

#include <cstdint>
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
// Sends WM_DESTROY to the window procedure, then destroys the window, its
// timers and its read notifications; messages still queued for it are
// dropped. Calling thread must own the window (else ERROR_ACCESS_DENIED).
// A window still alive when its thread ends is destroyed without WM_DESTROY.
BOOL DestroyWindow(HWND hwnd);
// True while `hwnd` names a live window.
BOOL IsWindow(HWND hwnd);

// Queues a message for the window's thread. Safe from any thread. Fails with
// ERROR_INVALID_WINDOW_HANDLE for a destroyed window, and with
// ERROR_NOT_ENOUGH_QUOTA when 10000 messages wait in that queue. A null
// `hwnd` posts a window-less message to the calling thread.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues a window-less message for a thread. Safe from any thread. Fails with
// ERROR_INVALID_THREAD_ID, dropping the message, when that thread has no
// queue (yet, or any more).
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT for the calling thread. It is taken, whatever the filter,
// when no posted message matches (wParam = exitCode).
void PostQuitMessage(int exitCode);

// Filter for GetMessage/PeekMessage: window-less messages only.
inline const HWND HWND_THREAD_MESSAGES = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));

// Takes the next message for the calling thread, waiting until one comes.
// `hwnd` nullptr takes messages of every window and window-less ones;
// min == max == 0 takes every number. Returns 0 for WM_QUIT, -1 on error
// (a filter window the thread does not own), else nonzero. Messages sent
// with SendMessage from other threads are handled inside this call. Posted
// messages come in the order they were posted; a timer tick or a socket
// notification takes its place in that order when it becomes due.
// Calling thread only (it takes its own queue's messages).
BOOL GetMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax);
// Called by GetMessage on the calling thread when nothing is left to take
// and it is about to wait: a burst of messages has been handled. Called at
// most once per wait; it must not throw. An empty handler removes it.
// Calling thread only.
void SetIdleHandler(std::function<void()> handler);
// As GetMessage without waiting; FALSE when nothing matches. PM_NOREMOVE
// leaves the message queued.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg);
// Calls the window procedure of msg->hwnd (WM_TIMER included). Returns 0 for
// window-less messages, windows that no longer exist and windows of other
// threads.
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
// queue, at most one waiting per timer (a busy thread gets no backlog). The
// calling thread must own the window (else ERROR_ACCESS_DENIED). Setting an
// existing id restarts its count and drops its waiting tick. Returns the
// id, or 0 with the last error set when no timer can be had (id 0, a window
// that is gone, 10000 timers on the thread). An elapse of 0 is taken as
// 1 ms, one above 0x7FFFFFFF as 0x7FFFFFFF. KillTimer drops a waiting tick.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

}  // namespace win
