#include "loopback.h"

#include <chrono>

namespace kvbench {

RelayCounter::RelayCounter() {
  socket_.SetReceiveBuffer(4 << 20);
  thread_ = std::thread([this] { Run(); });
}

RelayCounter::~RelayCounter() {
  stop_ = true;
  thread_.join();
}

void RelayCounter::Run() {
  using namespace std::chrono_literals;
  while (!stop_.load(std::memory_order_relaxed)) {
    if (!socket_.WaitReadable(50ms)) continue;
    while (socket_.Discard()) count_.fetch_add(1, std::memory_order_release);
  }
}

Sender::Sender(std::uint16_t port, std::string payload, Load load, const RelayCounter& relays)
    : payload_(std::move(payload)), thread_([this, port, load, &relays] { Run(port, load, relays); }) {}

Sender::~Sender() {
  stop_ = true;
  thread_.join();
}

void Sender::Run(std::uint16_t port, Load load, const RelayCounter& relays) {
  using Clock = std::chrono::steady_clock;
  kvtest::UdpListener socket;
  // Relays counted before this sender began belong to an earlier load.
  std::uint64_t forgiven = relays.Count();
  std::uint64_t sent = 0;
  while (!stop_.load(std::memory_order_relaxed)) {
    if (load == Load::Window) {
      auto since = Clock::now();
      std::uint64_t seen = relays.Count() - forgiven;
      while (sent - seen >= kWindow && !stop_.load(std::memory_order_relaxed)) {
        std::this_thread::yield();
        std::uint64_t now = relays.Count() - forgiven;
        if (now != seen) {
          seen = now;
          since = Clock::now();
        } else if (Clock::now() - since > std::chrono::milliseconds(20)) {
          forgiven -= sent - seen;  // count the missing ones as lost
          seen = sent;
        }
      }
    }
    if (socket.TrySendTo(port, payload_)) ++sent;
  }
}

}  // namespace kvbench
