// Loopback UDP pieces of the intake benchmark: a counter of arriving relays
// and a load sender, on the UDP listener of the test helpers. 127.0.0.1
// only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "support/udp_listener.h"

namespace kvbench {

using kvtest::FreeUdpPort;

// Owns a UDP socket on 127.0.0.1 (port of the system's choosing) and the
// thread that counts every datagram arriving there. Count() is safe from
// any thread.
class RelayCounter {
 public:
  RelayCounter();
  ~RelayCounter();
  RelayCounter(const RelayCounter&) = delete;
  RelayCounter& operator=(const RelayCounter&) = delete;

  std::uint16_t Port() const { return socket_.Port(); }
  std::uint64_t Count() const { return count_.load(std::memory_order_acquire); }

 private:
  void Run();

  kvtest::UdpListener socket_;
  std::atomic<std::uint64_t> count_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// How the sender paces itself.
enum class Load {
  Flood,   // as fast as it can; the receiver's queue overflows and drops
  Window,  // at most kWindow datagrams between sent and relayed
};
inline constexpr std::uint64_t kWindow = 32;

// Owns a UDP socket and the thread that sends `payload` to 127.0.0.1
// `port` until destroyed. Under Load::Window it waits for `relays` to catch
// up; a datagram that does not come through within 20 ms counts as lost.
class Sender {
 public:
  Sender(std::uint16_t port, std::string payload, Load load, const RelayCounter& relays);
  ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

 private:
  void Run(std::uint16_t port, Load load, const RelayCounter& relays);

  std::string payload_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kvbench
