// Cross-thread sends: SendMessage queues a call for the window's thread and
// waits for its answer, which that thread gives the next time it looks for
// a message.
#include <poll.h>

#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"
#include "platform/posix/detail/window_table.h"

namespace win {
namespace detail {

void CompleteSend(const std::shared_ptr<SendRecord>& record, SendRecord::State state, LRESULT result,
                  std::exception_ptr error) {
  std::lock_guard lock(record->sender->mutex);
  record->state = state;
  record->result = result;
  record->error = std::move(error);
  record->sender->WakeLocked();
}

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
      CompleteSend(record, SendRecord::State::Failed, 0, nullptr);
      continue;
    }
    try {
      LRESULT result = window->proc(record->msg.hwnd, record->msg.message, record->msg.wParam, record->msg.lParam);
      CompleteSend(record, SendRecord::State::Done, result, nullptr);
    } catch (...) {
      CompleteSend(record, SendRecord::State::Done, 0, std::current_exception());
    }
  }
}

}  // namespace detail

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  detail::ThreadQueue* self = detail::CurrentQueue();
  if (!self) return 0;
  auto record = std::make_shared<detail::SendRecord>();
  record->msg = MSG{hwnd, msg, wParam, lParam};
  record->sender = detail::CurrentQueueShared();
  {
    auto& table = detail::TheWindowTable();
    std::unique_lock tableLock(table.mutex);
    auto window = detail::FindWindowLocked(table, hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->queue.get() == self) {
      tableLock.unlock();
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

}  // namespace win
