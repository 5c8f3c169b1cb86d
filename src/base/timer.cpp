#include "base/timer.h"

#include <exception>

#include "base/app_failure.h"
#include "platform/messages.h"

namespace kv {
namespace {

constexpr win::UINT_PTR kTimerId = 1;

}  // namespace

TTimer::TTimer() {
  window_ = win::CreateHiddenWindow([this](win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    if (msg != win::WM_TIMER) return win::DefWindowProc(hwnd, msg, wParam, lParam);
    Tick();
    return win::LRESULT{0};
  });
  if (!window_) RaiseLastOSError();
}

TTimer::~TTimer() { win::DestroyWindow(window_); }

void TTimer::SetInterval(std::uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetOnTimer(TimerHandler handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  // Stops the running count (and drops a tick not yet taken), then starts
  // a new one from now.
  win::KillTimer(window_, kTimerId);
  if (interval_ != 0 && enabled_ && onTimer_) {
    if (win::SetTimer(window_, kTimerId, interval_) == 0) {
      throw EOutOfResources("タイマーを取得できません");
    }
  }
}

void TTimer::Tick() {
  if (!onTimer_) return;
  // The handler may replace itself or change the timer: call a copy.
  TimerHandler handler = onTimer_;
  try {
    handler(*this);
  } catch (const std::exception& e) {
    HandleApplicationException(e);
  } catch (...) {
    HandleApplicationException(Exception("Unknown failure in a timer handler"));
  }
}

}  // namespace kv
