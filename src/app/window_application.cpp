#include "app/window_application.h"

#include <exception>

#include "base/app_failure.h"
#include "base/exception.h"

namespace kv {

TWindowApplication::TWindowApplication() {
  mainWindow_ = win::CreateHiddenWindow([this](win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    return MainWindowProc(hwnd, msg, wParam, lParam);
  });
  if (!mainWindow_) RaiseLastOSError();
}

TWindowApplication::~TWindowApplication() { win::DestroyWindow(mainWindow_); }

int TWindowApplication::HookMainWindow(MessageHook hook) {
  std::lock_guard<std::mutex> guard(hooksMutex_);
  hooks_.emplace_back(nextHookId_, std::move(hook));
  return nextHookId_++;
}

void TWindowApplication::UnhookMainWindow(int id) {
  std::lock_guard<std::mutex> guard(hooksMutex_);
  std::erase_if(hooks_, [id](const auto& entry) { return entry.first == id; });
}

win::LRESULT TWindowApplication::MainWindowProc(win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
  std::vector<MessageHook> hooks;
  {
    std::lock_guard<std::mutex> guard(hooksMutex_);
    for (const auto& entry : hooks_) hooks.push_back(entry.second);
  }
  for (const MessageHook& hook : hooks) {
    if (hook(msg, wParam, lParam)) return 0;
  }
  // The session is ending: the application ends with it.
  if (msg == win::WM_ENDSESSION && wParam != 0) {
    Terminate();
    return 0;
  }
  return win::DefWindowProc(hwnd, msg, wParam, lParam);
}

void TWindowApplication::DispatchOne(const win::MSG& msg) {
  try {
    win::DispatchMessage(&msg);
  } catch (const std::exception& failure) {
    HandleApplicationException(failure);
  } catch (...) {
    HandleApplicationException(Exception("Unknown exception"));
  }
}

void TWindowApplication::Run() {
  while (!terminated_) {
    win::MSG msg;
    win::BOOL result = win::GetMessage(&msg, nullptr, 0, 0);
    if (result == 0 || result == -1) {  // WM_QUIT (or no queue to take from)
      terminated_ = true;
      break;
    }
    DispatchOne(msg);
  }
}

}  // namespace kv
