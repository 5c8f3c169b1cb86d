// Hidden windows: a window class of our own (CreateWindowExA) whose window
// procedure calls the WNDPROC the window was made with. The window is a
// top-level one that is never shown, so that it gets the session messages
// (WM_ENDSESSION) as Windows sends them to every top-level window; without
// a desktop, a message-only window.
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/win32/window_procs.h"

namespace win {
namespace detail {
namespace {

constexpr char kClassName[] = "KVLogServerHiddenWindow";

struct WindowData {
  WNDPROC proc;
  // Set once the window exists: from then on the window owns its data and
  // WM_NCDESTROY frees it. A creation that fails frees nothing of it.
  bool ownedByWindow = false;
};

// Set when no top-level window can be made (no desktop): later windows
// are message-only ones at once.
std::atomic<bool> gMessageOnly{false};

// A call sent from another thread (SendMessage): the owner runs the
// procedure and keeps what it threw for the sender.
struct SentCall {
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT result = 0;
  std::exception_ptr error;
  bool done = false;
};

// No thread-local variable here has a destructor: with mingw-w64 the
// storage of such a variable may be freed before its destructor runs when
// the thread ends. The exception a window procedure threw waits on the heap.
thread_local std::exception_ptr* tPending = nullptr;

UINT CallMessage() {
  static const UINT message = ::RegisterWindowMessageA("KVLogServerSentCall");
  return message;
}

// The messages the program's procedures take. Every other one the system
// sends (creation, sizing, activation, the end-session query) gets the
// system's default handling.
bool ForTheProgram(UINT msg) {
  return msg == WM_NULL || msg == WM_DESTROY || msg == WM_TIMER || msg == WM_ENDSESSION || msg >= WM_USER;
}

LRESULT CALLBACK SystemWindowProc(::HWND hwnd, UINT msg, ::WPARAM wParam, ::LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<::CREATESTRUCTA*>(lParam);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  auto* data = reinterpret_cast<WindowData*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    if (data && data->ownedByWindow) delete data;
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (!data) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  if (msg == CallMessage()) {
    auto* call = reinterpret_cast<SentCall*>(lParam);
    try {
      call->result = data->proc(FromSystem(hwnd), call->msg, call->wParam, call->lParam);
    } catch (...) {
      call->error = std::current_exception();
    }
    call->done = true;
    return 0;
  }
  if (!ForTheProgram(msg)) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  try {
    return data->proc(FromSystem(hwnd), msg, wParam, lParam);
  } catch (...) {
    if (!tPending) tPending = new std::exception_ptr(std::current_exception());
    return 0;
  }
}

bool RegisterClassOnce() {
  static const bool registered = [] {
    ::WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = SystemWindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    return ::RegisterClassExA(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

WindowData* DataOf(::HWND hwnd) { return reinterpret_cast<WindowData*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA)); }

}  // namespace

bool OwnedByCallingThread(HWND hwnd) {
  const DWORD owner = ::GetWindowThreadProcessId(ToSystem(hwnd), nullptr);
  if (owner == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  if (owner != ::GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

void RethrowPendingException() {
  if (!tPending) return;
  std::exception_ptr pending = std::move(*tPending);
  delete std::exchange(tPending, nullptr);
  std::rethrow_exception(pending);
}

}  // namespace detail

HWND CreateHiddenWindow(WNDPROC proc) {
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!detail::RegisterClassOnce()) {
    SetLastError(::GetLastError());
    return nullptr;
  }
  auto data = std::make_unique<detail::WindowData>(detail::WindowData{std::move(proc)});
  ::HWND hwnd = nullptr;
  if (!detail::gMessageOnly.load()) {
    hwnd = ::CreateWindowExA(0, detail::kClassName, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                             ::GetModuleHandleA(nullptr), data.get());
    if (!hwnd) detail::gMessageOnly = true;
  }
  if (!hwnd) {
    // No desktop to make a top-level window on (a session without a
    // display, as Wine without X): a message-only window, which gets every
    // message but the session's broadcasts.
    hwnd = ::CreateWindowExA(0, detail::kClassName, "", 0, 0, 0, 0, 0,
                             reinterpret_cast<::HWND>(static_cast<LONG_PTR>(-3)) /* HWND_MESSAGE */, nullptr,
                             ::GetModuleHandleA(nullptr), data.get());
  }
  if (!hwnd) {
    SetLastError(::GetLastError());
    return nullptr;
  }
  data->ownedByWindow = true;
  data.release();  // the window owns it now, until WM_NCDESTROY
  detail::RethrowPendingException();
  return detail::FromSystem(hwnd);
}

BOOL DestroyWindow(HWND hwnd) {
  if (!detail::OwnedByCallingThread(hwnd)) return FALSE_;
  const BOOL done = ::DestroyWindow(detail::ToSystem(hwnd));
  if (!done) SetLastError(::GetLastError());
  detail::RethrowPendingException();
  return done ? TRUE_ : FALSE_;
}

BOOL IsWindow(HWND hwnd) { return hwnd && ::IsWindow(detail::ToSystem(hwnd)) ? TRUE_ : FALSE_; }

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  if (::GetWindowThreadProcessId(detail::ToSystem(msg->hwnd), nullptr) != ::GetCurrentThreadId()) return 0;
  ::MSG system{};
  system.hwnd = detail::ToSystem(msg->hwnd);
  system.message = msg->message;
  system.wParam = msg->wParam;
  system.lParam = msg->lParam;
  const LRESULT result = ::DispatchMessageA(&system);
  detail::RethrowPendingException();
  return result;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ::HWND target = detail::ToSystem(hwnd);
  const DWORD owner = hwnd ? ::GetWindowThreadProcessId(target, nullptr) : 0;
  detail::WindowData* data = owner ? detail::DataOf(target) : nullptr;
  if (!data) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (owner == ::GetCurrentThreadId()) return data->proc(hwnd, msg, wParam, lParam);
  // The system runs the call on the owner's thread the next time it looks
  // for a message, and runs calls sent to this thread meanwhile.
  detail::SentCall call;
  call.msg = msg;
  call.wParam = wParam;
  call.lParam = lParam;
  ::SendMessageA(target, detail::CallMessage(), 0, reinterpret_cast<::LPARAM>(&call));
  detail::RethrowPendingException();
  if (!call.done) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (call.error) std::rethrow_exception(call.error);
  return call.result;
}

}  // namespace win
