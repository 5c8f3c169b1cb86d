// OwnerThread: the one thread an object belongs to, and the check that a
// call comes from it (as muduo's EventLoop::assertInLoopThread). The object
// belongs to the thread that made it, or to the one that Bind names it to
// later (an object made on one thread and handed to the thread that runs
// it). In debug builds, and in the sanitizer builds (KV_THREAD_CHECKS), a
// call from another thread ends the process with the object's name; in
// release builds Check costs nothing.
#pragma once

#include <atomic>
#include <thread>

namespace kv {

class OwnerThread {
 public:
  // `what` names the object in the failure ("TLogBuffer").
  explicit OwnerThread(const char* what) : what_(what), owner_(std::this_thread::get_id()) {}

  // The calling thread owns the object from now on.
  void Bind() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }
  bool IsOwner() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

  void Check() const {
#if !defined(NDEBUG) || defined(KV_THREAD_CHECKS)
    if (!IsOwner()) Fail();
#endif
  }

 private:
  [[noreturn]] void Fail() const;

  const char* what_;
  std::atomic<std::thread::id> owner_;
};

}  // namespace kv
