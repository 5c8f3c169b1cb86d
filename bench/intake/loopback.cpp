#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace kvbench {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Binds 127.0.0.1 port 0; returns the socket and its port.
int BindLoopback(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

std::uint16_t FreeUdpPort() {
  std::uint16_t port = 0;
  ::close(BindLoopback(port));
  return port;
}

RelayCounter::RelayCounter() : fd_(BindLoopback(port_)) {
  int size = 4 << 20;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  thread_ = std::thread([this] { Run(); });
}

RelayCounter::~RelayCounter() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

void RelayCounter::Run() {
  pollfd p{fd_, POLLIN, 0};
  char buffer[4096];
  while (!stop_.load(std::memory_order_relaxed)) {
    if (::poll(&p, 1, 50) <= 0) continue;
    while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) count_.fetch_add(1, std::memory_order_release);
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
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const sockaddr_in to = Loopback(port);
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
    if (::sendto(fd, payload_.data(), payload_.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
      ++sent;
  }
  ::close(fd);
}

}  // namespace kvbench
