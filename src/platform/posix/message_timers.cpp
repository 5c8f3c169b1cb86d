// Timers of a thread queue: deadlines on the monotonic clock in force,
// turned into posted WM_TIMER messages by the owning thread while it looks
// for its next message, at most one waiting per timer.
#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

#include "platform/common/backend.h"
#include "platform/error.h"
#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win {
namespace detail {
namespace {

// Timers per thread before SetTimer reports that no timer can be had.
constexpr std::size_t kTimerLimit = 10000;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;

void RemoveTimerMessagesLocked(ThreadQueue& queue, HWND hwnd, UINT_PTR id) {
  std::erase_if(queue.posted,
                [&](const QueuedMessage& m) { return m.fromTimer && m.msg.hwnd == hwnd && m.msg.wParam == id; });
}

}  // namespace

void FireDueTimersLocked(ThreadQueue& queue, MonotonicClock::time_point now) {
  for (Timer& timer : queue.timers) {
    if (timer.pending || timer.due > now) continue;
    queue.posted.push_back({MSG{timer.hwnd, WM_TIMER, timer.id, 0}, true});
    timer.pending = true;
    // The next count starts now: a late thread gets one tick, not a backlog.
    timer.due = now + timer.elapse;
  }
}

int NextTimeoutLocked(const ThreadQueue& queue, MonotonicClock::time_point now) {
  bool any = false;
  MonotonicClock::time_point nearest{};
  for (const Timer& timer : queue.timers) {
    if (timer.pending) continue;
    if (!any || timer.due < nearest) nearest = timer.due;
    any = true;
  }
  if (!any) return -1;
  if (nearest <= now) return 0;
  // A manual clock wakes the thread itself when it moves.
  if (ManualClockInForce()) return -1;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
  return static_cast<int>(std::min<decltype(wait)>(wait, INT_MAX));
}

void TimerMessageTakenLocked(ThreadQueue& queue, const MSG& msg) {
  for (Timer& timer : queue.timers) {
    if (timer.hwnd == msg.hwnd && timer.id == msg.wParam) timer.pending = false;
  }
}

}  // namespace detail

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  if (!detail::CurrentQueue()) return 0;
  auto window = detail::OwnWindow(hwnd);
  if (!window) return 0;
  if (id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  elapseMs = std::clamp<UINT>(elapseMs, 1, detail::kTimerMaximumMs);
  const auto elapse = std::chrono::duration_cast<MonotonicClock::duration>(std::chrono::milliseconds(elapseMs));
  const auto due = MonotonicNow() + elapse;
  detail::ThreadQueue& queue = *window->queue;
  std::lock_guard lock(queue.mutex);
  for (detail::Timer& timer : queue.timers) {
    if (timer.hwnd == hwnd && timer.id == id) {
      timer.elapse = elapse;
      timer.due = due;
      timer.pending = false;
      detail::RemoveTimerMessagesLocked(queue, hwnd, id);
      return id;
    }
  }
  if (queue.timers.size() >= detail::kTimerLimit) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return 0;
  }
  queue.timers.push_back(detail::Timer{hwnd, id, elapse, due, false});
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto window = detail::OwnWindow(hwnd);
  if (!window) return FALSE_;
  detail::ThreadQueue& queue = *window->queue;
  std::lock_guard lock(queue.mutex);
  const auto removed =
      std::erase_if(queue.timers, [&](const detail::Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (removed == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  detail::RemoveTimerMessagesLocked(queue, hwnd, id);
  return TRUE_;
}

}  // namespace win
