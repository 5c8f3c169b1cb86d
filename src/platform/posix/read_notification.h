// Read notifications of a descriptor, posted as window messages by the thread
// that owns the window. Internal to the platform layer: the socket emulation
// (WSAAsyncSelect) registers its sockets here, and the message wait of the
// owning thread watches them together with its queue and its timers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/types.h"

namespace win::detail {

class ThreadQueue;

// One registration: while it lives and is armed, the owning thread of the
// window watches the descriptor and, when it becomes readable, posts the
// message once and disarms. Destroying it ends the notifications; a message
// already queued stays queued.
class ReadNotification {
 public:
  // Safe from any thread. Returns nullptr with ERROR_INVALID_WINDOW_HANDLE
  // when `hwnd` is no live window. `keepAlive` owns the descriptor; the
  // watching thread holds it while it waits, so the descriptor number cannot
  // be reused under it. The registration starts armed, so data already
  // waiting is reported at once. `waiting`, when given, answers without a
  // system call whether data waits; the owning thread asks it before it
  // polls, so a backlog is worked off without a poll per message. It is
  // called under the queue's lock and must not block. `alsoDescriptor`,
  // when not -1, is looked at too by PeekMessage (not by a waiting
  // GetMessage); `keepAlive` keeps it open as well.
  static std::unique_ptr<ReadNotification> Start(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, int descriptor,
                                                 std::shared_ptr<const void> keepAlive,
                                                 std::function<bool()> waiting = {}, int alsoDescriptor = -1);
  ~ReadNotification();
  ReadNotification(const ReadNotification&) = delete;
  ReadNotification& operator=(const ReadNotification&) = delete;

  // Safe from any thread. Lets the next readable state post again.
  void Rearm();

 private:
  ReadNotification(std::weak_ptr<ThreadQueue> queue, std::uint64_t id) : queue_(std::move(queue)), id_(id) {}

  std::weak_ptr<ThreadQueue> queue_;
  std::uint64_t id_;
};

}  // namespace win::detail
