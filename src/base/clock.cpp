#include "base/clock.h"

#include "platform/clock.h"

namespace kv {
namespace {

DateTimeParts FromSystemTime(const win::SYSTEMTIME& st) {
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

class RealClock : public Clock {
 public:
  DateTimeParts LocalNow() const override {
    win::SYSTEMTIME st{};
    win::GetLocalTime(&st);
    return FromSystemTime(st);
  }
  DateTimeParts UtcNow() const override {
    win::SYSTEMTIME st{};
    win::GetSystemTime(&st);
    return FromSystemTime(st);
  }
};

const RealClock kRealClock;
std::atomic<const Clock*> gClock{&kRealClock};

}  // namespace

const Clock& SystemClock() { return kRealClock; }

const Clock& CurrentClock() { return *gClock.load(std::memory_order_acquire); }

ScopedClockOverride::ScopedClockOverride(const Clock& clock)
    : previous_(gClock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClockOverride::~ScopedClockOverride() { gClock.store(previous_, std::memory_order_release); }

}  // namespace kv
