// The Windows message model over POSIX: per-thread queues woken through an
// eventfd, hidden windows as entries of a process-wide table, timers and
// socket read notifications turned into posted messages by the thread that
// owns them while it looks for its next message.
//
// Locking: the table lock (Registry::mutex) may be held while taking a queue
// lock, never the other way round. No lock is held while a window procedure
// runs.
#include "platform/messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/error.h"
#include "platform/read_notification.h"

namespace win {
namespace detail {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Windows refuses posts to a queue that holds this many messages.
constexpr std::size_t kPostedLimit = 10000;
// Timers per thread before SetTimer reports that no timer can be had.
constexpr std::size_t kTimerLimit = 10000;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;
// Filter value that selects window-less (thread) messages only.
const HWND kThreadMessagesOnly = HWND_THREAD_MESSAGES;

// Owns one descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::uintptr_t KeyOf(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd); }

}  // namespace

struct QueuedMessage {
  MSG msg;
  bool fromTimer = false;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  SteadyClock::duration elapse;
  SteadyClock::time_point due;
  bool pending = false;  // its WM_TIMER waits in the queue
};

struct Watch {
  std::uint64_t id;
  int fd;
  std::shared_ptr<const void> keepAlive;
  MSG msg;
  bool armed = true;
  std::function<bool()> waiting;  // optional readiness test without a poll
  int alsoFd = -1;                // a second descriptor watched, or -1
};

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

// The message queue of one thread: posted messages, calls sent from other
// threads, the thread's timers and the descriptors it watches. Other threads
// add to it; only the owning thread takes from it.
class ThreadQueue {
 public:
  explicit ThreadQueue(DWORD threadId)
      : tid(threadId), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  bool Valid() const { return wakeFd_.get() >= 0; }
  int WakeFd() const { return wakeFd_.get(); }

  // Caller holds `mutex`. Interrupts the owner's wait, if it waits.
  void WakeLocked() {
    if (waiting && !signaled) {
      signaled = true;
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
    }
  }
  // Caller holds `mutex`; called by the owner after its wait.
  void AfterWaitLocked() {
    waiting = false;
    if (signaled) {
      std::uint64_t value = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &value, sizeof value);
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

namespace {

struct WindowData {
  HWND hwnd;
  WNDPROC proc;
  std::shared_ptr<ThreadQueue> queue;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  std::unordered_map<std::uintptr_t, std::shared_ptr<WindowData>> windows;
  // Window handles are never reused, so a stale handle never reaches a new
  // window.
  std::uintptr_t nextWindow = 0x10000;
  std::uint64_t nextWatch = 1;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::atomic<DWORD> gNextThreadId{1};

void Complete(const std::shared_ptr<SendRecord>& record, SendRecord::State state, LRESULT result,
              std::exception_ptr error) {
  std::lock_guard lock(record->sender->mutex);
  record->state = state;
  record->result = result;
  record->error = std::move(error);
  record->sender->WakeLocked();
}

// Ends a thread's queue: later posts fail, waiting senders are released.
void TearDown(const std::shared_ptr<ThreadQueue>& queue) {
  std::deque<std::shared_ptr<SendRecord>> orphans;
  std::vector<Watch> watches;  // released outside the locks
  {
    Registry& reg = TheRegistry();
    std::lock_guard regLock(reg.mutex);
    reg.queues.erase(queue->tid);
    for (auto it = reg.windows.begin(); it != reg.windows.end();) {
      if (it->second->queue == queue) {
        it = reg.windows.erase(it);
      } else {
        ++it;
      }
    }
    std::lock_guard lock(queue->mutex);
    queue->dead = true;
    orphans.swap(queue->sent);
    queue->posted.clear();
    queue->timers.clear();
    watches.swap(queue->watches);
  }
  for (const auto& record : orphans) Complete(record, SendRecord::State::Failed, 0, nullptr);
}

// The calling thread's queue, torn down when the thread ends.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) TearDown(queue);
  }
};

thread_local QueueHolder tQueue;

// The calling thread's queue, created on first use; nullptr with the last
// error set when the system has no descriptor left.
ThreadQueue* CurrentQueue() {
  if (!tQueue.queue) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    if (!queue->Valid()) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    reg.queues[queue->tid] = queue;
    tQueue.queue = std::move(queue);
  }
  return tQueue.queue.get();
}

std::shared_ptr<WindowData> FindWindowLocked(Registry& reg, HWND hwnd) {
  auto it = reg.windows.find(KeyOf(hwnd));
  return it == reg.windows.end() ? nullptr : it->second;
}

std::shared_ptr<WindowData> FindWindow(HWND hwnd) {
  Registry& reg = TheRegistry();
  std::lock_guard lock(reg.mutex);
  return FindWindowLocked(reg, hwnd);
}

// The window, when the calling thread owns it; else nullptr with the error
// Windows gives (invalid handle, or access denied for another thread's).
std::shared_ptr<WindowData> OwnWindow(HWND hwnd) {
  auto window = FindWindow(hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (window->queue != tQueue.queue) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return window;
}

// Runs every call that other threads have sent to this thread.
void HandleSentMessages(ThreadQueue& queue) {
  for (;;) {
    std::shared_ptr<SendRecord> record;
    {
      std::lock_guard lock(queue.mutex);
      if (queue.sent.empty()) return;
      record = std::move(queue.sent.front());
      queue.sent.pop_front();
    }
    auto window = FindWindow(record->msg.hwnd);
    if (!window || window->queue.get() != &queue) {
      Complete(record, SendRecord::State::Failed, 0, nullptr);
      continue;
    }
    try {
      LRESULT result = window->proc(record->msg.hwnd, record->msg.message, record->msg.wParam, record->msg.lParam);
      Complete(record, SendRecord::State::Done, result, nullptr);
    } catch (...) {
      Complete(record, SendRecord::State::Done, 0, std::current_exception());
    }
  }
}

void FireDueTimersLocked(ThreadQueue& queue, SteadyClock::time_point now) {
  for (Timer& timer : queue.timers) {
    if (timer.pending || timer.due > now) continue;
    queue.posted.push_back({MSG{timer.hwnd, WM_TIMER, timer.id, 0}, true});
    timer.pending = true;
    // The next count starts now: a late thread gets one tick, not a backlog.
    timer.due = now + timer.elapse;
  }
}

// Milliseconds until the nearest timer that can fire, -1 for none.
int NextTimeoutLocked(const ThreadQueue& queue, SteadyClock::time_point now) {
  bool any = false;
  SteadyClock::time_point nearest{};
  for (const Timer& timer : queue.timers) {
    if (timer.pending) continue;
    if (!any || timer.due < nearest) nearest = timer.due;
    any = true;
  }
  if (!any) return -1;
  if (nearest <= now) return 0;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count();
  return static_cast<int>(std::min<decltype(wait)>(wait, INT_MAX));
}

void RemoveTimerMessagesLocked(ThreadQueue& queue, HWND hwnd, UINT_PTR id) {
  std::erase_if(queue.posted, [&](const QueuedMessage& m) {
    return m.fromTimer && m.msg.hwnd == hwnd && m.msg.wParam == id;
  });
}

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
      if (it->fromTimer) {
        for (Timer& timer : queue.timers) {
          if (timer.hwnd == it->msg.hwnd && timer.id == it->msg.wParam) timer.pending = false;
        }
      }
      queue.posted.erase(it);
    }
    return true;
  }
  return false;
}

enum class Retrieved { Message, Quit, Nothing, Error };

thread_local std::function<void()> tIdleHandler;

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
    const auto now = SteadyClock::now();
    FireDueTimersLocked(*queue, now);
    if (TakeMatchingLocked(*queue, out, hwnd, minMsg, maxMsg, remove)) {
      return out->message == WM_QUIT ? Retrieved::Quit : Retrieved::Message;
    }
    if (queue->quit) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue->quitCode), 0};
      if (remove) queue->quit = false;
      return Retrieved::Quit;
    }
    // Watches that can tell without a poll that data waits post at once:
    // a backlog costs no system call per message.
    bool postedNow = false;
    for (Watch& watch : queue->watches) {
      if (watch.armed && watch.waiting && watch.waiting()) {
        watch.armed = false;
        queue->posted.push_back({watch.msg, false});
        postedNow = true;
      }
    }
    if (postedNow) continue;
    if (!block && looked) return Retrieved::Nothing;

    queue->pollSet.clear();
    queue->pollIds.clear();
    queue->pollKeep.clear();
    if (block) queue->pollSet.push_back({queue->WakeFd(), POLLIN, 0});
    for (const Watch& watch : queue->watches) {
      if (!watch.armed) continue;
      queue->pollSet.push_back({watch.fd, POLLIN, 0});
      queue->pollIds.push_back(watch.id);
      // The second descriptor only for a look without waiting: a waiting
      // thread is woken through the first, and waking it for both would
      // cost a second wake-up per arrival.
      if (watch.alsoFd >= 0 && !block) {
        queue->pollSet.push_back({watch.alsoFd, POLLIN, 0});
        queue->pollIds.push_back(watch.id);
      }
      queue->pollKeep.push_back(watch.keepAlive);
    }
    if (!block && queue->pollIds.empty()) return Retrieved::Nothing;
    // Before a real wait, one look without waiting tells whether the thread
    // is idle; only then does the idle handler run.
    const bool idleProbe = block && !idleCalled && tIdleHandler;
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
    const std::size_t first = block ? 1 : 0;
    for (std::size_t i = 0; i < queue->pollIds.size(); ++i) {
      if (queue->pollSet[first + i].revents == 0) continue;
      for (Watch& watch : queue->watches) {
        if (watch.id != queue->pollIds[i] || !watch.armed) continue;
        watch.armed = false;
        queue->posted.push_back({watch.msg, false});
      }
    }
    lock.unlock();
    queue->pollKeep.clear();
    if (idleProbe && ready == 0) {
      idleCalled = true;
      tIdleHandler();
    }
  }
}

}  // namespace

std::unique_ptr<ReadNotification> ReadNotification::Start(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                                          int descriptor, std::shared_ptr<const void> keepAlive,
                                                          std::function<bool()> waiting, int alsoDescriptor) {
  Registry& reg = TheRegistry();
  std::lock_guard regLock(reg.mutex);
  auto window = FindWindowLocked(reg, hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const std::uint64_t id = reg.nextWatch++;
  std::lock_guard lock(window->queue->mutex);
  if (window->queue->dead) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  window->queue->watches.push_back(
      Watch{id, descriptor, std::move(keepAlive), MSG{hwnd, msg, wParam, lParam}, true, std::move(waiting),
            alsoDescriptor});
  window->queue->WakeLocked();
  return std::unique_ptr<ReadNotification>(new ReadNotification(window->queue, id));
}

ReadNotification::~ReadNotification() {
  auto queue = queue_.lock();
  if (!queue) return;
  std::shared_ptr<const void> keepAlive;  // released outside the lock
  std::lock_guard lock(queue->mutex);
  auto it = std::find_if(queue->watches.begin(), queue->watches.end(), [&](const Watch& w) { return w.id == id_; });
  if (it == queue->watches.end()) return;
  keepAlive = std::move(it->keepAlive);
  queue->watches.erase(it);
  // A waiting owner drops its hold on the descriptor.
  queue->WakeLocked();
}

void ReadNotification::Rearm() {
  auto queue = queue_.lock();
  if (!queue) return;
  std::lock_guard lock(queue->mutex);
  for (Watch& watch : queue->watches) {
    if (watch.id == id_ && !watch.armed) {
      watch.armed = true;
      queue->WakeLocked();
    }
  }
}

}  // namespace detail

using detail::CurrentQueue;
using detail::Retrieved;
using detail::TheRegistry;

DWORD GetCurrentThreadId() {
  thread_local const DWORD id = detail::gNextThreadId.fetch_add(1, std::memory_order_relaxed);
  return id;
}

HWND CreateHiddenWindow(WNDPROC proc) {
  detail::ThreadQueue* queue = CurrentQueue();
  if (!queue) return nullptr;
  if (!proc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& reg = TheRegistry();
  std::lock_guard lock(reg.mutex);
  HWND hwnd = reinterpret_cast<HWND>(reg.nextWindow);
  reg.nextWindow += 0x10;
  reg.windows[detail::KeyOf(hwnd)] =
      std::make_shared<detail::WindowData>(detail::WindowData{hwnd, std::move(proc), detail::tQueue.queue});
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  auto window = detail::OwnWindow(hwnd);
  if (!window) return FALSE_;
  // The window is gone however its last message ends.
  struct Remover {
    const std::shared_ptr<detail::WindowData>& window;
    ~Remover() {
      std::vector<detail::Watch> watches;  // released outside the locks
      auto& reg = TheRegistry();
      std::lock_guard regLock(reg.mutex);
      if (reg.windows.erase(detail::KeyOf(window->hwnd)) == 0) return;
      detail::ThreadQueue& queue = *window->queue;
      std::lock_guard lock(queue.mutex);
      std::erase_if(queue.posted, [&](const detail::QueuedMessage& m) { return m.msg.hwnd == window->hwnd; });
      std::erase_if(queue.timers, [&](const detail::Timer& t) { return t.hwnd == window->hwnd; });
      for (auto it = queue.watches.begin(); it != queue.watches.end();) {
        if (it->msg.hwnd == window->hwnd) {
          watches.push_back(std::move(*it));
          it = queue.watches.erase(it);
        } else {
          ++it;
        }
      }
    }
  } remover{window};
  window->proc(hwnd, WM_DESTROY, 0, 0);
  return TRUE_;
}

BOOL IsWindow(HWND hwnd) { return detail::FindWindow(hwnd) ? TRUE_ : FALSE_; }

namespace {

BOOL PostLocked(detail::ThreadQueue& queue, const MSG& msg, DWORD errorWhenGone) {
  std::lock_guard lock(queue.mutex);
  if (queue.dead) {
    SetLastError(errorWhenGone);
    return FALSE_;
  }
  if (queue.posted.size() >= detail::kPostedLimit) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE_;
  }
  queue.posted.push_back({msg, false});
  queue.WakeLocked();
  return TRUE_;
}

}  // namespace

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr) return PostThreadMessage(GetCurrentThreadId(), msg, wParam, lParam);
  auto& reg = TheRegistry();
  std::lock_guard lock(reg.mutex);
  auto window = detail::FindWindowLocked(reg, hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE_;
  }
  return PostLocked(*window->queue, MSG{hwnd, msg, wParam, lParam}, ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto& reg = TheRegistry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.queues.find(threadId);
  if (it == reg.queues.end()) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE_;
  }
  return PostLocked(*it->second, MSG{nullptr, msg, wParam, lParam}, ERROR_INVALID_THREAD_ID);
}

void PostQuitMessage(int exitCode) {
  detail::ThreadQueue* queue = CurrentQueue();
  if (!queue) return;
  std::lock_guard lock(queue->mutex);
  queue->quit = true;
  queue->quitCode = exitCode;
}

void SetIdleHandler(std::function<void()> handler) { detail::tIdleHandler = std::move(handler); }

BOOL GetMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
  switch (detail::Retrieve(msg, hwnd, msgFilterMin, msgFilterMax, true, true)) {
    case Retrieved::Message: return TRUE_;
    case Retrieved::Quit: return FALSE_;
    default: return -1;
  }
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
  const bool remove = (removeMsg & PM_REMOVE) != 0;
  switch (detail::Retrieve(msg, hwnd, msgFilterMin, msgFilterMax, remove, false)) {
    case Retrieved::Message:
    case Retrieved::Quit: return TRUE_;
    default: return FALSE_;
  }
}

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  auto window = detail::FindWindow(msg->hwnd);
  if (!window || window->queue != detail::tQueue.queue) return 0;
  return window->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  detail::ThreadQueue* self = CurrentQueue();
  if (!self) return 0;
  auto record = std::make_shared<detail::SendRecord>();
  record->msg = MSG{hwnd, msg, wParam, lParam};
  record->sender = detail::tQueue.queue;
  {
    auto& reg = TheRegistry();
    std::unique_lock regLock(reg.mutex);
    auto window = detail::FindWindowLocked(reg, hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->queue.get() == self) {
      regLock.unlock();
      return window->proc(hwnd, msg, wParam, lParam);
    }
    std::lock_guard lock(window->queue->mutex);
    if (window->queue->dead) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    window->queue->sent.push_back(record);
    window->queue->WakeLocked();
  }
  // Wait for the answer, running calls that others send to this thread
  // meanwhile, so two threads sending to each other do not lock up.
  for (;;) {
    detail::HandleSentMessages(*self);
    std::unique_lock lock(self->mutex);
    if (!self->sent.empty()) continue;
    if (record->state != detail::SendRecord::State::Pending) break;
    self->waiting = true;
    lock.unlock();
    pollfd wake{self->WakeFd(), POLLIN, 0};
    ::poll(&wake, 1, -1);
    lock.lock();
    self->AfterWaitLocked();
  }
  if (record->state == detail::SendRecord::State::Failed) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (record->error) std::rethrow_exception(record->error);
  return record->result;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs) {
  if (!CurrentQueue()) return 0;
  auto window = detail::OwnWindow(hwnd);
  if (!window) return 0;
  if (id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  elapseMs = std::clamp<UINT>(elapseMs, 1, detail::kTimerMaximumMs);
  const auto elapse = std::chrono::duration_cast<detail::SteadyClock::duration>(std::chrono::milliseconds(elapseMs));
  const auto due = detail::SteadyClock::now() + elapse;
  detail::ThreadQueue& queue = *window->queue;
  std::lock_guard lock(queue.mutex);
  for (detail::Timer& timer : queue.timers) {
    if (timer.hwnd == hwnd && timer.id == id) {
      timer.elapse = elapse;
      timer.due = due;
      timer.pending = false;
      detail::RemoveTimerMessagesLocked(queue, hwnd, id);
      return id;
    }
  }
  if (queue.timers.size() >= detail::kTimerLimit) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return 0;
  }
  queue.timers.push_back(detail::Timer{hwnd, id, elapse, due, false});
  return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto window = detail::OwnWindow(hwnd);
  if (!window) return FALSE_;
  detail::ThreadQueue& queue = *window->queue;
  std::lock_guard lock(queue.mutex);
  const auto removed =
      std::erase_if(queue.timers, [&](const detail::Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (removed == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  detail::RemoveTimerMessagesLocked(queue, hwnd, id);
  return TRUE_;
}

}  // namespace win
