// The message wait of a thread: GetMessage and PeekMessage look for the
// next message of the calling thread, and GetMessage sleeps in one poll over
// the queue's wake-up descriptor, the armed read notifications and the
// nearest timer.
#include <poll.h>

#include <cerrno>
#include <mutex>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win {
namespace detail {
namespace {

// Filter value that selects window-less (thread) messages only.
const HWND kThreadMessagesOnly = HWND_THREAD_MESSAGES;

bool Matches(const MSG& msg, HWND hwnd, UINT minMsg, UINT maxMsg) {
  if (hwnd == kThreadMessagesOnly) {
    if (msg.hwnd != nullptr) return false;
  } else if (hwnd != nullptr && msg.hwnd != hwnd) {
    return false;
  }
  if (minMsg == 0 && maxMsg == 0) return true;
  return msg.message >= minMsg && msg.message <= maxMsg;
}

bool TakeMatchingLocked(ThreadQueue& queue, MSG* out, HWND hwnd, UINT minMsg, UINT maxMsg, bool remove) {
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(it->msg, hwnd, minMsg, maxMsg)) continue;
    *out = it->msg;
    if (remove) {
      if (it->fromTimer) TimerMessageTakenLocked(queue, it->msg);
      queue.posted.erase(it);
    }
    return true;
  }
  return false;
}

enum class Retrieved { Message, Quit, Nothing, Error };

// Looks for the next message of the calling thread: calls sent from other
// threads first, then due timers, then the posted queue, then the quit
// flag. With `block` it waits in one poll over the wake-up descriptor, the
// armed watches and the nearest timer; without, it looks at the watches once
// without waiting.
Retrieved Retrieve(MSG* out, HWND hwnd, UINT minMsg, UINT maxMsg, bool remove, bool block) {
  ThreadQueue* queue = CurrentQueue();
  if (!queue) return Retrieved::Error;
  if (hwnd != nullptr && hwnd != kThreadMessagesOnly && !OwnWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return Retrieved::Error;
  }
  bool looked = false;
  bool idleCalled = false;
  for (;;) {
    HandleSentMessages(*queue);
    std::unique_lock lock(queue->mutex);
    if (!queue->sent.empty()) continue;
    const auto now = MonotonicNow();
    FireDueTimersLocked(*queue, now);
    if (TakeMatchingLocked(*queue, out, hwnd, minMsg, maxMsg, remove)) {
      return out->message == WM_QUIT ? Retrieved::Quit : Retrieved::Message;
    }
    if (queue->quit) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue->quitCode), 0};
      if (remove) queue->quit = false;
      return Retrieved::Quit;
    }
    if (PostWaitingWatchesLocked(*queue)) continue;
    if (!block && looked) return Retrieved::Nothing;

    queue->pollSet.clear();
    queue->pollIds.clear();
    queue->pollKeep.clear();
    if (block) queue->pollSet.push_back({queue->WakeFd(), POLLIN, 0});
    AddWatchesToPollSetLocked(*queue, block);
    if (!block && queue->pollIds.empty()) return Retrieved::Nothing;
    // Before a real wait, one look without waiting tells whether the thread
    // is idle; only then does the idle handler run.
    const bool idleProbe = block && !idleCalled && HasIdleHandler();
    const int timeout = block && !idleProbe ? NextTimeoutLocked(*queue, now) : 0;
    queue->waiting = block;
    lock.unlock();

    int ready = ::poll(queue->pollSet.data(), queue->pollSet.size(), timeout);
    int pollError = errno;

    lock.lock();
    queue->AfterWaitLocked();
    looked = true;
    if (ready < 0) {
      if (pollError == EINTR) continue;
      SetLastError(ErrorFromErrno(pollError));
      return Retrieved::Error;
    }
    PostReadyWatchesLocked(*queue, block ? 1 : 0);
    lock.unlock();
    queue->pollKeep.clear();
    if (idleProbe && ready == 0) {
      idleCalled = true;
      RunIdleHandler();
    }
  }
}

}  // namespace
}  // namespace detail

BOOL GetMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
  switch (detail::Retrieve(msg, hwnd, msgFilterMin, msgFilterMax, true, true)) {
    case detail::Retrieved::Message: return TRUE_;
    case detail::Retrieved::Quit: return FALSE_;
    default: return -1;
  }
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
  const bool remove = (removeMsg & PM_REMOVE) != 0;
  switch (detail::Retrieve(msg, hwnd, msgFilterMin, msgFilterMax, remove, false)) {
    case detail::Retrieved::Message:
    case detail::Retrieved::Quit: return TRUE_;
    default: return FALSE_;
  }
}

}  // namespace win
