// The message queue of one thread, as the message files share it: posted
// messages, calls sent from other threads, the thread's timers and the
// descriptors it watches for read notifications.
//
// Locking: the window table's lock may be held while taking a queue lock,
// never the other way round. No lock is held while a window procedure runs.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/messages.h"
#include "platform/monotonic_clock.h"
#include "platform/posix/detail/unique_fd.h"

namespace win::detail {

// Windows refuses posts to a queue that holds this many messages.
constexpr std::size_t kPostedLimit = 10000;

struct QueuedMessage {
  MSG msg;
  bool fromTimer = false;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  MonotonicClock::duration elapse;
  MonotonicClock::time_point due;
  bool pending = false;  // its WM_TIMER waits in the queue
};

// A read notification as the owning thread keeps it.
struct Watch {
  std::uint64_t id;
  int fd;
  std::shared_ptr<const void> keepAlive;
  MSG msg;
  bool armed = true;
  std::function<bool()> waiting;  // optional readiness test without a poll
  int alsoFd = -1;                // a second descriptor watched, or -1
};

class ThreadQueue;

// A SendMessage call from another thread, waiting for its answer.
struct SendRecord {
  enum class State { Pending, Done, Failed };

  MSG msg;
  std::shared_ptr<ThreadQueue> sender;
  // Guarded by sender->mutex.
  State state = State::Pending;
  LRESULT result = 0;
  std::exception_ptr error;
};

// Other threads add to a queue; only the owning thread takes from it.
class ThreadQueue {
 public:
  explicit ThreadQueue(DWORD threadId) : tid(threadId), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  bool Valid() const { return wakeFd_.Valid(); }
  int WakeFd() const { return wakeFd_.Get(); }

  // Caller holds `mutex`. Interrupts the owner's wait, if it waits.
  void WakeLocked() {
    if (waiting && !signaled) {
      signaled = true;
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd_.Get(), &one, sizeof one);
    }
  }
  // Caller holds `mutex`; called by the owner after its wait.
  void AfterWaitLocked() {
    waiting = false;
    if (signaled) {
      std::uint64_t value = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_.Get(), &value, sizeof value);
      signaled = false;
    }
  }

  const DWORD tid;
  std::mutex mutex;
  // Guarded by mutex.
  bool dead = false;
  bool waiting = false;
  bool signaled = false;
  bool quit = false;
  int quitCode = 0;
  std::deque<QueuedMessage> posted;
  std::deque<std::shared_ptr<SendRecord>> sent;
  std::vector<Timer> timers;
  std::vector<Watch> watches;

  // Owner thread only: scratch space of the wait.
  std::vector<pollfd> pollSet;
  std::vector<std::uint64_t> pollIds;
  std::vector<std::shared_ptr<const void>> pollKeep;

 private:
  UniqueFd wakeFd_;
};

// thread_queue.cpp: the calling thread's queue, created on first use and
// torn down when the thread ends; nullptr with the last error set when the
// system has no descriptor left.
ThreadQueue* CurrentQueue();
// The calling thread's queue as its windows share it; empty before first use.
const std::shared_ptr<ThreadQueue>& CurrentQueueShared();

// send_message.cpp: runs every call that other threads have sent to this
// thread (owner thread only), and answers one call.
void HandleSentMessages(ThreadQueue& queue);
void CompleteSend(const std::shared_ptr<SendRecord>& record, SendRecord::State state, LRESULT result,
                  std::exception_ptr error);

// message_timers.cpp, all with the queue's lock held.
// Posts WM_TIMER for every timer that is due and has no tick waiting.
void FireDueTimersLocked(ThreadQueue& queue, MonotonicClock::time_point now);
// Milliseconds the wait may sleep before a timer can fire, -1 for no limit.
int NextTimeoutLocked(const ThreadQueue& queue, MonotonicClock::time_point now);
// Marks the timer behind a taken WM_TIMER as having no tick waiting.
void TimerMessageTakenLocked(ThreadQueue& queue, const MSG& msg);

// read_notification.cpp, all with the queue's lock held.
// Posts for armed watches whose readiness test says data waits; true when
// any did (a backlog costs no system call per message).
bool PostWaitingWatchesLocked(ThreadQueue& queue);
// Appends the armed watches to queue.pollSet (ids to pollIds, holds to
// pollKeep). A waiting thread watches only the first descriptor of each.
void AddWatchesToPollSetLocked(ThreadQueue& queue, bool block);
// Posts for the watches whose descriptors the poll found readable;
// `first` is the index of the first watch entry in pollSet.
void PostReadyWatchesLocked(ThreadQueue& queue, std::size_t first);

// idle_handler.cpp: the calling thread's idle handler.
bool HasIdleHandler();
void RunIdleHandler();

}  // namespace win::detail
