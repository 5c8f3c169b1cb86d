// Thread message queues over POSIX: each thread's queue is made on first use,
// found by thread id in the window table, woken through an eventfd, and torn
// down with its windows when the thread ends. Posting from any thread.
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win {
namespace detail {
namespace {

std::atomic<DWORD> gNextThreadId{1};

// Ends a thread's queue: later posts fail, waiting senders are released.
void TearDown(const std::shared_ptr<ThreadQueue>& queue) {
  std::deque<std::shared_ptr<SendRecord>> orphans;
  std::vector<Watch> watches;  // released outside the locks
  {
    WindowTable& table = TheWindowTable();
    std::lock_guard tableLock(table.mutex);
    table.queues.erase(queue->tid);
    for (auto it = table.windows.begin(); it != table.windows.end();) {
      if (it->second->queue == queue) {
        it = table.windows.erase(it);
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
  for (const auto& record : orphans) CompleteSend(record, SendRecord::State::Failed, 0, nullptr);
}

// The calling thread's queue, torn down when the thread ends.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) TearDown(queue);
  }
};

thread_local QueueHolder tQueue;

BOOL PostLocked(ThreadQueue& queue, const MSG& msg, DWORD errorWhenGone) {
  std::lock_guard lock(queue.mutex);
  if (queue.dead) {
    SetLastError(errorWhenGone);
    return FALSE_;
  }
  if (queue.posted.size() >= kPostedLimit) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE_;
  }
  queue.posted.push_back({msg, false});
  queue.WakeLocked();
  return TRUE_;
}

}  // namespace

ThreadQueue* CurrentQueue() {
  if (!tQueue.queue) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    if (!queue->Valid()) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    WindowTable& table = TheWindowTable();
    std::lock_guard lock(table.mutex);
    table.queues[queue->tid] = queue;
    tQueue.queue = std::move(queue);
  }
  return tQueue.queue.get();
}

const std::shared_ptr<ThreadQueue>& CurrentQueueShared() { return tQueue.queue; }

}  // namespace detail

DWORD GetCurrentThreadId() {
  thread_local const DWORD id = detail::gNextThreadId.fetch_add(1, std::memory_order_relaxed);
  return id;
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr) return PostThreadMessage(GetCurrentThreadId(), msg, wParam, lParam);
  auto& table = detail::TheWindowTable();
  std::lock_guard lock(table.mutex);
  auto window = detail::FindWindowLocked(table, hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE_;
  }
  return detail::PostLocked(*window->queue, MSG{hwnd, msg, wParam, lParam}, ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto& table = detail::TheWindowTable();
  std::lock_guard lock(table.mutex);
  auto it = table.queues.find(threadId);
  if (it == table.queues.end()) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE_;
  }
  return detail::PostLocked(*it->second, MSG{nullptr, msg, wParam, lParam}, ERROR_INVALID_THREAD_ID);
}

void PostQuitMessage(int exitCode) {
  detail::ThreadQueue* queue = detail::CurrentQueue();
  if (!queue) return;
  std::lock_guard lock(queue->mutex);
  queue->quit = true;
  queue->quitCode = exitCode;
}

}  // namespace win
