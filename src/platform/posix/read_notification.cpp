// Read notifications: descriptors that the thread owning a window watches
// in its message wait, posting the registered message once per readable
// state.
#include "platform/posix/read_notification.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win::detail {

std::unique_ptr<ReadNotification> ReadNotification::Start(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                                          int descriptor, std::shared_ptr<const void> keepAlive,
                                                          std::function<bool()> waiting, int alsoDescriptor) {
  WindowTable& table = TheWindowTable();
  std::lock_guard tableLock(table.mutex);
  auto window = FindWindowLocked(table, hwnd);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const std::uint64_t id = table.nextWatch++;
  std::lock_guard lock(window->queue->mutex);
  if (window->queue->dead) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  window->queue->watches.push_back(Watch{id, descriptor, std::move(keepAlive), MSG{hwnd, msg, wParam, lParam}, true,
                                         std::move(waiting), alsoDescriptor});
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

bool PostWaitingWatchesLocked(ThreadQueue& queue) {
  bool postedNow = false;
  for (Watch& watch : queue.watches) {
    if (watch.armed && watch.waiting && watch.waiting()) {
      watch.armed = false;
      queue.posted.push_back({watch.msg, false});
      postedNow = true;
    }
  }
  return postedNow;
}

void AddWatchesToPollSetLocked(ThreadQueue& queue, bool block) {
  for (const Watch& watch : queue.watches) {
    if (!watch.armed) continue;
    queue.pollSet.push_back({watch.fd, POLLIN, 0});
    queue.pollIds.push_back(watch.id);
    // The second descriptor only for a look without waiting: a waiting
    // thread is woken through the first, and waking it for both would
    // cost a second wake-up per arrival.
    if (watch.alsoFd >= 0 && !block) {
      queue.pollSet.push_back({watch.alsoFd, POLLIN, 0});
      queue.pollIds.push_back(watch.id);
    }
    queue.pollKeep.push_back(watch.keepAlive);
  }
}

void PostReadyWatchesLocked(ThreadQueue& queue, std::size_t first) {
  for (std::size_t i = 0; i < queue.pollIds.size(); ++i) {
    if (queue.pollSet[first + i].revents == 0) continue;
    for (Watch& watch : queue.watches) {
      if (watch.id != queue.pollIds[i] || !watch.armed) continue;
      watch.armed = false;
      queue.posted.push_back({watch.msg, false});
    }
  }
}

}  // namespace win::detail
