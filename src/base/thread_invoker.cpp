#include "base/thread_invoker.h"

#include "base/exception.h"
#include "platform/messages.h"

namespace kv {
namespace {

constexpr win::UINT kInvokeMessage = win::WM_USER + 0x100;

}  // namespace

TThreadInvoker::TThreadInvoker() {
  window_ = win::CreateHiddenWindow([](win::HWND hwnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    if (msg != kInvokeMessage) return win::DefWindowProc(hwnd, msg, wParam, lParam);
    (*reinterpret_cast<const std::function<void()>*>(wParam))();
    return static_cast<win::LRESULT>(1);
  });
  if (!window_) RaiseLastOSError();
}

TThreadInvoker::~TThreadInvoker() {
  if (window_) win::DestroyWindow(window_);
}

void TThreadInvoker::Invoke(const std::function<void()>& work) {
  win::LRESULT done = win::SendMessage(window_, kInvokeMessage, reinterpret_cast<win::WPARAM>(&work), 0);
  if (done != 1) throw Exception("The main thread takes no more work");
}

}  // namespace kv
