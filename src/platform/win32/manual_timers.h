// Timers while a ManualMonotonicClock stands in for the system's clock
// (tests): the system's timers run on real time, so SetTimer keeps such a
// timer here instead, and the manual clock posts its WM_TIMER when Advance
// brings it due, at most one waiting per timer, as the system does.
#pragma once

#include "platform/common/backend.h"
#include "platform/messages.h"
#include "platform/win32/windows_api.h"

namespace win::detail {

// A timer set while a manual clock stands in stays with it: once the clock
// is gone it ticks no more until it is set again.

// Sets or restarts a timer of the manual clock; drops its waiting tick.
void SetManualTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
// False when the window has no such timer.
bool KillManualTimer(HWND hwnd, UINT_PTR id);
// Called for each WM_TIMER taken from the queue: true when it is the tick
// of a manual timer that no longer owes it (killed or restarted since), so
// that the program never sees it; else marks the timer as having no tick
// waiting.
bool StaleManualTick(const ::MSG& msg);

}  // namespace win::detail
