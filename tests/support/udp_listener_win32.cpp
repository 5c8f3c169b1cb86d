// The UDP helpers on Windows Sockets (the system's own calls, not the
// platform layer's, so that tests of the layer do not test it with itself).
#include "support/udp_listener.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {
namespace {

// Windows Sockets registered once for the whole test process.
void Startup() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

[[noreturn]] void Throw(const char* what) {
  throw std::runtime_error(std::string(what) + ": Windows Sockets error " + std::to_string(::WSAGetLastError()));
}

SOCKET Sock(int fd) { return static_cast<SOCKET>(fd); }

}  // namespace

UdpListener::UdpListener() : UdpListener(0) {}

UdpListener::UdpListener(std::uint16_t port) {
  Startup();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) Throw("socket");
  fd_ = static_cast<int>(s);
  SetReceiveBuffer(1 << 20);
  sockaddr_in addr = Loopback(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(error);
    Throw("bind");
  }
  int len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

UdpListener::~UdpListener() {
  if (fd_ >= 0) ::closesocket(Sock(fd_));
}

std::optional<std::string> UdpListener::Receive(std::chrono::milliseconds timeout) {
  if (!WaitReadable(timeout)) return std::nullopt;
  std::vector<char> buf(65536);
  sockaddr_in peer{};
  int len = sizeof peer;
  const int n =
      ::recvfrom(Sock(fd_), buf.data(), static_cast<int>(buf.size()), 0, reinterpret_cast<sockaddr*>(&peer), &len);
  if (n == SOCKET_ERROR) Throw("recvfrom");
  lastPeerPort_ = ntohs(peer.sin_port);
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

bool UdpListener::WaitReadable(std::chrono::milliseconds timeout) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(fd_), &readable);
  const long long ms = std::max<long long>(0, timeout.count());
  timeval limit{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
  if (rc == SOCKET_ERROR) Throw("select");
  return rc > 0;
}

bool UdpListener::Discard() {
  if (!WaitReadable(std::chrono::milliseconds(0))) return false;
  char buf[65536];
  const int n = ::recv(Sock(fd_), buf, sizeof buf, 0);
  return n != SOCKET_ERROR || ::WSAGetLastError() == WSAEMSGSIZE;
}

void UdpListener::SetReceiveBuffer(int bytes) {
  ::setsockopt(Sock(fd_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void UdpListener::SendTo(std::uint16_t port, std::string_view payload) {
  if (!TrySendTo(port, payload)) Throw("sendto");
}

bool UdpListener::TrySendTo(std::uint16_t port, std::string_view payload) {
  sockaddr_in addr = Loopback(port);
  return ::sendto(Sock(fd_), payload.data(), static_cast<int>(payload.size()), 0, reinterpret_cast<sockaddr*>(&addr),
                  sizeof addr) != SOCKET_ERROR;
}

std::uint16_t FreeUdpPort() {
  UdpListener probe;
  return probe.Port();
}

void SendUdp(std::uint16_t port, std::string_view payload) {
  Startup();
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) Throw("socket");
  sockaddr_in addr = Loopback(port);
  const int n =
      ::sendto(s, payload.data(), static_cast<int>(payload.size()), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int error = ::WSAGetLastError();
  ::closesocket(s);
  ::WSASetLastError(error);
  if (n == SOCKET_ERROR) Throw("sendto");
}

}  // namespace kvtest
