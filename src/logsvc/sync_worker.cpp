#include "logsvc/sync_worker.h"

#include <utility>

#include "platform/thread_name.h"

namespace kv {

TSyncWorker::TSyncWorker(std::function<std::string()> sync) : sync_(std::move(sync)) {}

TSyncWorker::~TSyncWorker() { Stop(); }

bool TSyncWorker::Request(bool start, std::string& failure) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  failure = std::exchange(failure_, std::string());
  if (!start) return true;
  wanted_ = true;
  if (!thread_.joinable()) {
    thread_ = std::thread([this] {
      win::NameCurrentThread("kv-sync");
      Run();
    });
  }
  wake_.notify_one();
  return true;
}

void TSyncWorker::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TSyncWorker::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return wanted_ || stop_; });
    if (stop_) return;
    wanted_ = false;
    // The lock is held while syncing: the owner replaces the file only
    // under it.
    std::string failure = sync_();
    if (!failure.empty()) failure_ = std::move(failure);
  }
}

}  // namespace kv
