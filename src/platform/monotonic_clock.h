// The monotonic clock that the thread queues' timers run on, and a manual
// clock that tests put in its place, so that a timer fires when the test
// moves time on instead of when the wall clock gets there.
#pragma once

#include <atomic>
#include <chrono>

namespace win {

using MonotonicClock = std::chrono::steady_clock;

// Now on the clock in force: the system's monotonic clock unless a
// ManualMonotonicClock is alive. Safe from any thread.
MonotonicClock::time_point MonotonicNow();

// Stands in for the monotonic clock of the whole process while it lives
// (tests). It starts at the system clock's now and moves only by Advance.
// While it lives, a thread waiting in GetMessage does not wake for its
// timers by itself: Advance wakes it when one comes due. Timers keep the
// deadlines they were given when it goes. Create and destroy it on one
// thread; one may stand in for another and gives the clock back when it
// goes.
class ManualMonotonicClock {
 public:
  ManualMonotonicClock();
  ~ManualMonotonicClock();
  ManualMonotonicClock(const ManualMonotonicClock&) = delete;
  ManualMonotonicClock& operator=(const ManualMonotonicClock&) = delete;

  // Moves time on by `step` and wakes every thread that waits for a
  // message, so that it looks at its timers. Safe from any thread.
  void Advance(std::chrono::nanoseconds step);
  // Safe from any thread.
  MonotonicClock::time_point Now() const;

 private:
  std::atomic<MonotonicClock::rep> ticks_;
  const ManualMonotonicClock* previous_;
};

}  // namespace win
