// TServiceStartThread: hands the service table to the service manager's
// dispatcher on a thread of its own, so that the main thread can run the
// message loop meanwhile.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "platform/service_control.h"
#include "platform/types.h"

namespace kv {

// Owns its thread (started at construction, waited for at destruction) and
// the table. The table's names point at the services' names, so the
// services must outlive this object.
class TServiceStartThread {
 public:
  // Main thread. `table` ends with an entry of two nulls. When the
  // dispatcher has returned, WM_QUIT is posted to `mainWindow`. Throws
  // std::system_error when the thread cannot be made.
  TServiceStartThread(std::vector<win::SERVICE_TABLE_ENTRY> table, win::HWND mainWindow);
  // Main thread: waits for the thread to end.
  ~TServiceStartThread();
  TServiceStartThread(const TServiceStartThread&) = delete;
  TServiceStartThread& operator=(const TServiceStartThread&) = delete;

  // 0 while the dispatcher runs or after it succeeded, else the error it
  // returned (1063 when the process was not started by the service manager).
  // Safe from any thread.
  win::DWORD DispatcherResult() const { return dispatcherResult_.load(); }

 private:
  void Execute();

  std::vector<win::SERVICE_TABLE_ENTRY> startTable_;
  win::HWND mainWindow_;
  std::atomic<win::DWORD> dispatcherResult_{0};
  std::thread thread_;
};

}  // namespace kv
