#include "support/message_pump.h"

#include "platform/messages.h"

namespace kvtest {

bool PumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  constexpr win::UINT_PTR kExpire = 1;
  constexpr win::UINT_PTR kRecheck = 2;
  bool expired = false;
  win::HWND watchdog = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM id, win::LPARAM) {
    if (msg == win::WM_TIMER && id == kExpire) expired = true;
    return win::LRESULT{0};
  });
  if (!watchdog) return done();
  win::SetTimer(watchdog, kExpire, static_cast<win::UINT>(timeout.count()));
  // Calls sent from other threads run inside GetMessage without ending it,
  // and other threads change the condition too: look again now and then.
  win::SetTimer(watchdog, kRecheck, 2);
  while (!done() && !expired) {
    win::MSG msg;
    win::BOOL got = win::GetMessage(&msg, nullptr, 0, 0);
    if (got == 0) {
      win::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got == -1) break;
    win::DispatchMessage(&msg);
  }
  win::DestroyWindow(watchdog);
  return done();
}

int PumpPendingMessages() {
  int count = 0;
  win::MSG msg;
  while (win::PeekMessage(&msg, nullptr, 0, 0, win::PM_REMOVE)) {
    if (msg.message == win::WM_QUIT) {
      win::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    win::DispatchMessage(&msg);
    ++count;
  }
  return count;
}

}  // namespace kvtest
