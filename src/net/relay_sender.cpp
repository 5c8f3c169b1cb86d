#include "net/relay_sender.h"

#include <utility>

#include "platform/thread_name.h"

namespace kv {

TRelaySender::TRelaySender(TAppEventMsg& events, std::function<void()> notify)
    : events_(events), notify_(std::move(notify)) {
  thread_ = std::thread([this] {
    win::NameCurrentThread("kv-relay");
    Run();
  });
}

TRelaySender::~TRelaySender() {
  owner_.Check();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void TRelaySender::Hand() {
  owner_.Check();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return waiting_.size() < kMaxWaiting; });
  const bool wasEmpty = waiting_.empty();
  events_.TakeQueued(waiting_, spare_);
  if (wasEmpty && !waiting_.empty()) work_.notify_one();
}

void TRelaySender::Finish() {
  owner_.Check();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return waiting_.empty() && !sending_; });
}

std::vector<std::string> TRelaySender::TakeFailures() {
  owner_.Check();
  std::lock_guard lock(mutex_);
  failuresTold_ = false;
  return std::exchange(failures_, {});
}

void TRelaySender::Run() {
  std::vector<std::string> batch;
  std::vector<std::string> failed;
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
    if (waiting_.empty()) return;  // stopped, everything sent
    batch.swap(waiting_);
    sending_ = true;
    lock.unlock();
    done_.notify_all();  // room again
    SendEventTexts(events_.SocketHandle(), events_.DestAddr(), batch,
                   [&](const EAppEventMsg& failure) { failed.emplace_back(failure.what()); });
    lock.lock();
    // Sent strings go back for the owner to build new events in; freeing
    // them here and allocating them there would cost a pair per event.
    for (std::string& text : batch) {
      if (spare_.size() >= kMaxWaiting) break;
      spare_.push_back(std::move(text));
    }
    batch.clear();
    if (!failed.empty()) {
      for (std::string& text : failed) failures_.push_back(std::move(text));
      failed.clear();
      if (!std::exchange(failuresTold_, true) && notify_) {
        lock.unlock();
        notify_();
        lock.lock();
      }
    }
    // Only now is the batch done: Finish returns after its owner was told.
    sending_ = false;
    if (waiting_.empty()) done_.notify_all();
  }
}

}  // namespace kv
