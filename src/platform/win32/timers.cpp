// Timers as WM_TIMER messages: the system's own (SetTimer, KillTimer on the
// window), or, while a ManualMonotonicClock stands in, ones the manual
// clock posts.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/common/backend.h"
#include "platform/error.h"
#include "platform/messages.h"
#include "platform/monotonic_clock.h"
#include "platform/win32/manual_timers.h"
#include "platform/win32/window_procs.h"

namespace win {
namespace detail {
namespace {

constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;

struct ManualTimer {
  HWND hwnd;
  UINT_PTR id;
  MonotonicClock::duration elapse;
  MonotonicClock::time_point due;
  bool pending = false;  // its WM_TIMER waits in the queue
  int stale = 0;         // ticks posted before a restart, to be passed over
};

struct ManualTimers {
  std::mutex mutex;
  std::vector<ManualTimer> timers;
  // Ticks of killed timers still in a queue, to be passed over.
  std::vector<std::pair<HWND, UINT_PTR>> orphans;
};

ManualTimers& Manual() {
  static ManualTimers table;
  return table;
}

}  // namespace

void SetManualTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  const auto elapse = std::chrono::duration_cast<MonotonicClock::duration>(std::chrono::milliseconds(elapseMs));
  ManualTimers& table = Manual();
  std::lock_guard lock(table.mutex);
  for (ManualTimer& timer : table.timers) {
    if (timer.hwnd != hwnd || timer.id != id) continue;
    if (timer.pending) ++timer.stale;
    timer.pending = false;
    timer.elapse = elapse;
    timer.due = MonotonicNow() + elapse;
    return;
  }
  table.timers.push_back(ManualTimer{hwnd, id, elapse, MonotonicNow() + elapse});
}

bool KillManualTimer(HWND hwnd, UINT_PTR id) {
  ManualTimers& table = Manual();
  std::lock_guard lock(table.mutex);
  auto it = std::find_if(table.timers.begin(), table.timers.end(),
                         [&](const ManualTimer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == table.timers.end()) return false;
  for (int i = it->stale + (it->pending ? 1 : 0); i > 0; --i) table.orphans.emplace_back(hwnd, id);
  table.timers.erase(it);
  return true;
}

// Posts WM_TIMER for every manual timer that has come due.
void ManualClockMoved() {
  ManualTimers& table = Manual();
  std::lock_guard lock(table.mutex);
  const auto now = MonotonicNow();
  for (ManualTimer& timer : table.timers) {
    if (timer.pending || timer.due > now) continue;
    if (!::PostMessageA(ToSystem(timer.hwnd), WM_TIMER, timer.id, 0)) continue;  // window gone
    timer.pending = true;
    // The next count starts now: a late thread gets one tick, not a backlog.
    timer.due = now + timer.elapse;
  }
  // Timers of windows that are gone end with them.
  std::erase_if(table.timers, [](const ManualTimer& t) { return !::IsWindow(ToSystem(t.hwnd)); });
}

// The manual clock's timers stay with it (manual_timers.h).
void ManualClockGone() {}

bool StaleManualTick(const ::MSG& msg) {
  const HWND hwnd = FromSystem(msg.hwnd);
  ManualTimers& table = Manual();
  std::lock_guard lock(table.mutex);
  // Ticks of a killed timer came before any of a timer set again since.
  auto orphan = std::find(table.orphans.begin(), table.orphans.end(), std::make_pair(hwnd, UINT_PTR{msg.wParam}));
  if (orphan != table.orphans.end()) {
    table.orphans.erase(orphan);
    return true;
  }
  for (ManualTimer& timer : table.timers) {
    if (timer.hwnd != hwnd || timer.id != msg.wParam) continue;
    if (timer.stale > 0) {
      --timer.stale;
      return true;
    }
    timer.pending = false;
    return false;
  }
  return false;
}

}  // namespace detail

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  if (!detail::OwnedByCallingThread(hwnd)) return 0;
  if (id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  elapseMs = std::clamp<UINT>(elapseMs, 1, detail::kTimerMaximumMs);
  if (detail::ManualClockInForce()) {
    ::KillTimer(detail::ToSystem(hwnd), id);
    detail::SetManualTimer(hwnd, id, elapseMs);
    return id;
  }
  detail::KillManualTimer(hwnd, id);
  const UINT_PTR result = ::SetTimer(detail::ToSystem(hwnd), id, elapseMs, nullptr);
  if (result == 0) SetLastError(::GetLastError());
  return result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  if (!detail::OwnedByCallingThread(hwnd)) return FALSE_;
  const bool manual = detail::KillManualTimer(hwnd, id);
  if (::KillTimer(detail::ToSystem(hwnd), id)) {
    // A tick the system already queued is not owed any more.
    ::MSG tick;
    while (::PeekMessageA(&tick, detail::ToSystem(hwnd), WM_TIMER, WM_TIMER, PM_NOREMOVE | PM_NOYIELD) &&
           tick.wParam == id) {
      ::PeekMessageA(&tick, detail::ToSystem(hwnd), WM_TIMER, WM_TIMER, PM_REMOVE | PM_NOYIELD);
    }
    return TRUE_;
  }
  if (manual) return TRUE_;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE_;
}

}  // namespace win
