// Runs work on the thread that created the invoker, on behalf of other
// threads. Owns a hidden window on the creating thread; the work is carried
// there by SendMessage, so it runs between two dispatched messages of that
// thread, never beside them.
#pragma once

#include <functional>

#include "platform/types.h"

namespace kv {

class TThreadInvoker {
 public:
  // Creating thread: the one that will run the work. Raises kv::Exception
  // when no window can be had.
  TThreadInvoker();
  ~TThreadInvoker();
  TThreadInvoker(const TThreadInvoker&) = delete;
  TThreadInvoker& operator=(const TThreadInvoker&) = delete;

  // Safe from any thread. Runs `work` on the owning thread (directly when
  // called there) and returns when it is done; a failure it raises is raised
  // here. Raises kv::Exception when the owning thread no longer takes work.
  void Invoke(const std::function<void()>& work);

 private:
  win::HWND window_ = nullptr;
};

}  // namespace kv
