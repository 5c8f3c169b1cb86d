// UDP helpers for tests: a listener on 127.0.0.1 with a port of the system's
// choosing, a free-port finder and a one-shot sender. Loopback only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvtest {

class UdpListener {
 public:
  // Binds 127.0.0.1 port 0. Throws std::runtime_error when it cannot.
  UdpListener();
  // Binds 127.0.0.1 `port`; throws std::runtime_error when the port is taken.
  explicit UdpListener(std::uint16_t port);
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  std::uint16_t Port() const { return port_; }
  // The next datagram's bytes, or nullopt when none comes within `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);
  // Sends `payload` from this socket to 127.0.0.1 `port`.
  void SendTo(std::uint16_t port, std::string_view payload);
  // The same, but false (errno set) instead of an exception when it fails.
  bool TrySendTo(std::uint16_t port, std::string_view payload);
  // For listeners that only count: waits until a datagram is queued, at most
  // `timeout` (false when none came), and takes and drops the next one
  // without waiting (false when none is queued).
  bool WaitReadable(std::chrono::milliseconds timeout);
  bool Discard();
  // Asks for a receive queue of `bytes` (the system may give less).
  void SetReceiveBuffer(int bytes);
  // The sender port of the last datagram received.
  std::uint16_t LastPeerPort() const { return lastPeerPort_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t lastPeerPort_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeUdpPort();

// Sends one datagram to 127.0.0.1 `port` from a fresh socket.
void SendUdp(std::uint16_t port, std::string_view payload);

}  // namespace kvtest
