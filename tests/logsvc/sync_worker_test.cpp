// The buffer file's durability thread on its own: a request while a sync
// runs is refused without waiting, a failure comes back once, and a stop
// waits for the sync that runs.
#include "logsvc/sync_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A sync that the test lets finish.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  bool open = false;
  int runs = 0;

  std::string Sync(std::string result) {
    std::unique_lock lock(mutex);
    running = true;
    changed.notify_all();
    changed.wait(lock, [this] { return open; });
    running = false;
    ++runs;
    changed.notify_all();
    return result;
  }
  void AwaitRunning() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return running; });
  }
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
};

TEST(SyncWorker, ARequestWhileASyncRunsIsRefusedAndItsFailureComesBackOnce) {
  Gate gate;
  kv::TSyncWorker worker([&] { return gate.Sync("disk full"); });
  std::string failure = "x";
  ASSERT_TRUE(worker.Request(true, failure));
  EXPECT_EQ(failure, "");
  gate.AwaitRunning();
  EXPECT_FALSE(worker.Request(true, failure));  // the owner does not wait for the disk
  gate.Open();
  while (!worker.Request(false, failure)) std::this_thread::yield();
  EXPECT_EQ(failure, "disk full");
  ASSERT_TRUE(worker.Request(false, failure));
  EXPECT_EQ(failure, "");
  worker.Stop();
  EXPECT_EQ(gate.runs, 1);
}

TEST(SyncWorker, StopWaitsForTheSyncThatRuns) {
  Gate gate;
  std::atomic<bool> stopped{false};
  kv::TSyncWorker worker([&] { return gate.Sync(""); });
  std::string failure;
  ASSERT_TRUE(worker.Request(true, failure));
  gate.AwaitRunning();
  std::thread stopper([&] {
    worker.Stop();
    stopped = true;
  });
  EXPECT_FALSE(stopped.load());
  gate.Open();
  stopper.join();
  EXPECT_EQ(gate.runs, 1);
}

}  // namespace
