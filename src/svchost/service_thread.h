// TServiceThread: the request thread of a service. It runs the start
// handler, then takes the control requests from its thread message queue
// one at a time, in the order they were posted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "platform/types.h"

namespace kv {

class TService;

// Owns one operating-system thread, made suspended (not running) and
// started by Start; it serves the service it was made for.
class TServiceThread {
 public:
  explicit TServiceThread(TService& service);
  // Waits for the thread if it was started and not waited for.
  ~TServiceThread();
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  // Starts the thread; throws std::system_error when it cannot be made.
  // Service-main thread only, once.
  void Start();
  // Waits until the thread has ended. Service-main thread only.
  void WaitFor();

  // Asks the thread to end once the current request is done. Safe from any
  // thread.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // Posts a control request and wakes the thread if it is suspended. Dropped
  // when the thread has no message queue (not yet, or no more). Safe from
  // any thread.
  void PostRequest(win::DWORD control);

  // Suspends the calling request thread until a request is posted that it
  // has not taken yet; returns at once when one is already waiting, so no
  // wake-up is lost. Request thread only.
  void SuspendUntilRequest();
  // True while the thread waits in SuspendUntilRequest. Safe from any thread.
  bool Suspended() const;

  // Takes and handles messages of the thread's queue: with `wait` until a
  // stop has been asked for (or WM_QUIT), else until the queue is empty.
  // Request thread only.
  void PumpRequests(bool wait);

 private:
  void Execute();
  void ProcessRequest(win::DWORD control);
  void NoteRequestTaken();

  TService& service_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  win::DWORD threadId_ = 0;          // 0 while the thread has no queue
  std::size_t pendingRequests_ = 0;  // posted and not yet taken
  bool suspended_ = false;
};

}  // namespace kv
