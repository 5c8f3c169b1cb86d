// The process-wide table of thread queues (by thread id) and hidden windows
// (by handle), as the message files share it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"

namespace win::detail {

struct WindowData {
  HWND hwnd;
  WNDPROC proc;
  std::shared_ptr<ThreadQueue> queue;
};

struct WindowTable {
  std::mutex mutex;
  std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
  std::unordered_map<std::uintptr_t, std::shared_ptr<WindowData>> windows;
  // Window handles are never reused, so a stale handle never reaches a new
  // window.
  std::uintptr_t nextWindow = 0x10000;
  std::uint64_t nextWatch = 1;
};

WindowTable& TheWindowTable();

inline std::uintptr_t KeyOf(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd); }

// Caller holds table.mutex.
std::shared_ptr<WindowData> FindWindowLocked(WindowTable& table, HWND hwnd);
std::shared_ptr<WindowData> FindWindow(HWND hwnd);
// The window, when the calling thread owns it; else nullptr with the error
// Windows gives (invalid handle, or access denied for another thread's).
std::shared_ptr<WindowData> OwnWindow(HWND hwnd);

// Interrupts the wait of every thread that waits for a message. Safe from
// any thread.
void WakeAllQueues();

}  // namespace win::detail
