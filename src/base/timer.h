// The timer component: a periodic tick delivered through the message loop of
// the thread that created it.
#pragma once

#include <cstdint>
#include <functional>

#include "base/exception.h"
#include "platform/types.h"

namespace kv {

// Raised when the platform cannot supply a timer.
class EOutOfResources : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EOutOfResources"; }
};

// Owns a hidden window on the creating thread and, while it runs, one
// platform timer on that window. A new count starts whenever the period or
// the enabled flag changes to a different value, or a handler is assigned;
// the timer runs when the period is not 0, it is enabled and it has a
// handler. A failure escaping the handler goes to HandleApplicationException
// and the timer stays armed.
//
// Thread contract: every operation on the creating thread only (the ticks
// come through that thread's message loop); a setter called elsewhere gets
// no timer and raises EOutOfResources.
class TTimer {
 public:
  using TimerHandler = std::function<void(TTimer&)>;

  // Period 1000 ms, enabled, no handler. Raises EOSError when no window can
  // be had.
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  std::uint32_t Interval() const { return interval_; }
  // Raises EOutOfResources ("タイマーを取得できません") when the platform
  // cannot supply a timer.
  void SetInterval(std::uint32_t ms);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);  // raises as SetInterval

  const TimerHandler& OnTimer() const { return onTimer_; }
  void SetOnTimer(TimerHandler handler);  // raises as SetInterval

 private:
  void UpdateTimer();
  void Tick();

  win::HWND window_ = nullptr;
  std::uint32_t interval_ = 1000;
  bool enabled_ = true;
  TimerHandler onTimer_;
};

}  // namespace kv
