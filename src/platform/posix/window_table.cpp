// Hidden windows: entries of a process-wide table that name their window
// procedure and the queue of the thread that made them.
#include <memory>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win {
namespace detail {

WindowTable& TheWindowTable() {
  static WindowTable table;
  return table;
}

std::shared_ptr<WindowData> FindWindowLocked(WindowTable& table, HWND hwnd) {
  auto it = table.windows.find(KeyOf(hwnd));
  return it == table.windows.end() ? nullptr : it->second;
}

std::shared_ptr<WindowData> FindWindow(HWND hwnd) {
  WindowTable& table = TheWindowTable();
  std::lock_guard lock(table.mutex);
  return FindWindowLocked(table, hwnd);
}

std::shared_ptr<WindowData> OwnWindow(HWND hwnd) {
  auto window = FindWindow(hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (window->queue != CurrentQueueShared()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return window;
}

void WakeAllQueues() {
  WindowTable& table = TheWindowTable();
  std::lock_guard tableLock(table.mutex);
  for (auto& [tid, queue] : table.queues) {
    std::lock_guard lock(queue->mutex);
    queue->WakeLocked();
  }
}

// A thread waiting for a message under a manual clock sets no timeout for
// its timers; it looks at them when woken.
void ManualClockMoved() { WakeAllQueues(); }
// Waiting threads go back to waking for their timers by themselves.
void ManualClockGone() { WakeAllQueues(); }

}  // namespace detail

HWND CreateHiddenWindow(WNDPROC proc) {
  detail::ThreadQueue* queue = detail::CurrentQueue();
  if (!queue) return nullptr;
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& table = detail::TheWindowTable();
  std::lock_guard lock(table.mutex);
  HWND hwnd = reinterpret_cast<HWND>(table.nextWindow);
  table.nextWindow += 0x10;
  table.windows[detail::KeyOf(hwnd)] =
      std::make_shared<detail::WindowData>(detail::WindowData{hwnd, std::move(proc), detail::CurrentQueueShared()});
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  auto window = detail::OwnWindow(hwnd);
  if (!window) return FALSE_;
  // The window is gone however its last message ends.
  struct Remover {
    const std::shared_ptr<detail::WindowData>& window;
    ~Remover() {
      std::vector<detail::Watch> watches;  // released outside the locks
      auto& table = detail::TheWindowTable();
      std::lock_guard tableLock(table.mutex);
      if (table.windows.erase(detail::KeyOf(window->hwnd)) == 0) return;
      detail::ThreadQueue& queue = *window->queue;
      std::lock_guard lock(queue.mutex);
      std::erase_if(queue.posted, [&](const detail::QueuedMessage& m) { return m.msg.hwnd == window->hwnd; });
      std::erase_if(queue.timers, [&](const detail::Timer& t) { return t.hwnd == window->hwnd; });
      for (auto it = queue.watches.begin(); it != queue.watches.end();) {
        if (it->msg.hwnd == window->hwnd) {
          watches.push_back(std::move(*it));
          it = queue.watches.erase(it);
        } else {
          ++it;
        }
      }
    }
  } remover{window};
  window->proc(hwnd, WM_DESTROY, 0, 0);
  return TRUE_;
}

BOOL IsWindow(HWND hwnd) { return detail::FindWindow(hwnd) ? TRUE_ : FALSE_; }

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  auto window = detail::FindWindow(msg->hwnd);
  if (!window || window->queue != detail::CurrentQueueShared()) return 0;
  return window->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

}  // namespace win
