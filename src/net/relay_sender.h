// TRelaySender: sends the events that a TAppEventMsg keeps (QueueEvent) on a
// thread of its own, in the order they were handed over, so that the
// thread that builds them never waits for the network.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/owner_thread.h"
#include "net/app_event_msg.h"

namespace kv {

// Thread contract: the owner's thread (the one that queues events in
// `events`, and makes the sender) calls Hand, Finish, TakeFailures and the
// destructor, checked in debug and sanitizer builds; the sending
// thread only sends what was handed over, in order, through the socket of
// `events`, and keeps the text of each failed send for the owner, whom it
// tells through `notify` (called on the sending thread, once per run of
// failures not yet taken).
class TRelaySender {
 public:
  // At most this many events wait to be sent: Hand waits for room beyond it,
  // so memory stays bounded when the sending falls behind.
  static constexpr std::size_t kMaxWaiting = 8192;

  // `events` must be open and outlive the sender; the owner neither closes
  // it nor sends through it while the sender lives.
  TRelaySender(TAppEventMsg& events, std::function<void()> notify);
  // Sends what is still waiting, then ends the thread.
  ~TRelaySender();
  TRelaySender(const TRelaySender&) = delete;
  TRelaySender& operator=(const TRelaySender&) = delete;

  // Takes every event `events` keeps, to be sent after those handed over
  // before.
  void Hand();
  // Returns once everything handed over has been sent (or failed).
  void Finish();
  // The failures since the last call, in the order of their events, each
  // as SendQueued would have reported it ("SendTo failed. stat = N").
  std::vector<std::string> TakeFailures();

 private:
  void Run();

  OwnerThread owner_{"TRelaySender"};
  TAppEventMsg& events_;
  std::function<void()> notify_;
  std::mutex mutex_;
  std::condition_variable work_;  // something to send, or the end
  std::condition_variable done_;  // room again, or all sent
  // Guarded by mutex_.
  std::vector<std::string> waiting_;
  bool sending_ = false;
  bool stop_ = false;
  std::vector<std::string> spare_;  // sent, their memory kept for Hand
  std::vector<std::string> failures_;
  bool failuresTold_ = false;
  std::thread thread_;
};

}  // namespace kv
