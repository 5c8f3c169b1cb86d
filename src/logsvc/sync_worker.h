// TSyncWorker: makes a file durable on a thread of its own (kv-sync), so
// that the thread that writes the file never waits for the disk. A sync
// takes milliseconds to seconds, depending on the disk; a request while one
// still runs is refused, and the owner asks again later. The thread starts
// with the first request.
//
// Thread contract: the owner's thread calls Request, Hold, Stop and the
// destructor; the worker's thread only runs `sync`.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kv {

class TSyncWorker {
 public:
  // `sync` makes the file durable and returns "" or the reason it could
  // not. It runs on the worker's thread, while the lock of Hold is held.
  explicit TSyncWorker(std::function<std::string()> sync);
  // Stop.
  ~TSyncWorker();
  TSyncWorker(const TSyncWorker&) = delete;
  TSyncWorker& operator=(const TSyncWorker&) = delete;

  // When no sync runs: gives the reason the last one failed in `failure`
  // ("" when it worked, or none ran) and, with `start`, starts another;
  // true. False, changing nothing, while a sync runs.
  bool Request(bool start, std::string& failure);
  // Waits for a running sync and holds off the next while the lock lives:
  // the owner replaces the file under it.
  std::unique_lock<std::mutex> Hold() { return std::unique_lock(mutex_); }
  // Waits for a running sync, then ends the thread; a sync asked for and
  // not yet begun is not run.
  void Stop();

 private:
  void Run();

  std::function<std::string()> sync_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_.
  bool wanted_ = false;
  bool stop_ = false;
  std::string failure_;
  std::thread thread_;
};

}  // namespace kv
