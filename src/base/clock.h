// The clock seam: logic asks CurrentClock() for the time, so that tests can
// replay hours and days without sleeping.
#pragma once

#include <atomic>

namespace kv {

struct DateTimeParts {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DateTimeParts LocalNow() const = 0;
  virtual DateTimeParts UtcNow() const = 0;
};

// The operating system's clock.
const Clock& SystemClock();

// The clock in force: the system clock unless a ScopedClockOverride is alive.
// Safe from any thread.
const Clock& CurrentClock();

// Installs another clock for the whole process while it lives (tests).
class ScopedClockOverride {
 public:
  explicit ScopedClockOverride(const Clock& clock);
  ~ScopedClockOverride();
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;

 private:
  const Clock* previous_;
};

// A clock that shows a set moment (local and UTC alike unless told apart).
class FixedClock : public Clock {
 public:
  FixedClock() = default;
  explicit FixedClock(DateTimeParts local) : local_(local), utc_(local) {}
  void Set(DateTimeParts local) {
    local_ = local;
    utc_ = local;
  }
  void SetUtc(DateTimeParts utc) { utc_ = utc; }
  DateTimeParts LocalNow() const override { return local_; }
  DateTimeParts UtcNow() const override { return utc_; }

 private:
  DateTimeParts local_{};
  DateTimeParts utc_{};
};

}  // namespace kv
