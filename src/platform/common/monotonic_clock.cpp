// The monotonic clock in force, and the manual clock of the tests that can
// stand in for it.
#include "platform/monotonic_clock.h"

#include "platform/common/backend.h"

namespace win {
namespace {

std::atomic<const ManualMonotonicClock*> gManual{nullptr};

}  // namespace

namespace detail {

bool ManualClockInForce() { return gManual.load(std::memory_order_acquire) != nullptr; }

}  // namespace detail

MonotonicClock::time_point MonotonicNow() {
  const ManualMonotonicClock* manual = gManual.load(std::memory_order_acquire);
  return manual ? manual->Now() : MonotonicClock::now();
}

ManualMonotonicClock::ManualMonotonicClock()
    : ticks_(MonotonicNow().time_since_epoch().count()), previous_(gManual.load(std::memory_order_acquire)) {
  gManual.store(this, std::memory_order_release);
}

ManualMonotonicClock::~ManualMonotonicClock() {
  gManual.store(previous_, std::memory_order_release);
  detail::ManualClockGone();
}

void ManualMonotonicClock::Advance(std::chrono::nanoseconds step) {
  ticks_.fetch_add(std::chrono::duration_cast<MonotonicClock::duration>(step).count(), std::memory_order_acq_rel);
  detail::ManualClockMoved();
}

MonotonicClock::time_point ManualMonotonicClock::Now() const {
  return MonotonicClock::time_point(MonotonicClock::duration(ticks_.load(std::memory_order_acquire)));
}

}  // namespace win
