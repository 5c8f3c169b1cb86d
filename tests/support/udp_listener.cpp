#include "support/udp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kvtest {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

[[noreturn]] void Throw(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

}  // namespace

UdpListener::UdpListener() : UdpListener(0) {}

UdpListener::UdpListener(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Throw("socket");
  SetReceiveBuffer(1 << 20);
  sockaddr_in addr = Loopback(port);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd_);
    errno = err;
    Throw("bind");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

UdpListener::~UdpListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> UdpListener::Receive(std::chrono::milliseconds timeout) {
  if (!WaitReadable(timeout)) return std::nullopt;
  std::vector<char> buf(65536);
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
  if (n < 0) Throw("recvfrom");
  lastPeerPort_ = ntohs(peer.sin_port);
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

bool UdpListener::WaitReadable(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) Throw("poll");
  }
}

bool UdpListener::Discard() {
  char byte;
  return ::recv(fd_, &byte, sizeof byte, MSG_DONTWAIT | MSG_TRUNC) >= 0;
}

void UdpListener::SetReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

void UdpListener::SendTo(std::uint16_t port, std::string_view payload) {
  if (!TrySendTo(port, payload)) Throw("sendto");
}

bool UdpListener::TrySendTo(std::uint16_t port, std::string_view payload) {
  sockaddr_in addr = Loopback(port);
  return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) >= 0;
}

std::uint16_t FreeUdpPort() {
  UdpListener probe;
  return probe.Port();
}

void SendUdp(std::uint16_t port, std::string_view payload) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Throw("socket");
  sockaddr_in addr = Loopback(port);
  ssize_t n = ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int err = errno;
  ::close(fd);
  errno = err;
  if (n < 0) Throw("sendto");
}

}  // namespace kvtest
