#include "platform/winsock.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/messages.h"
#include "support/message_pump.h"
#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

constexpr win::UINT kSocketRead = win::WM_USER + 1;

// One WSAStartup registration for the scope of a test.
class WsaSession {
 public:
  WsaSession() {
    win::WSADATA data;
    ok_ = win::WSAStartup(win::MAKEWORD(1, 1), &data) == 0;
  }
  ~WsaSession() {
    if (ok_) win::WSACleanup();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

win::SOCKADDR_IN Address(const char* host, win::WORD port) {
  win::SOCKADDR_IN addr{};
  addr.sin_family = win::WS_AF_INET;
  addr.sin_port = win::htons(port);
  addr.sin_addr.S_addr = win::inet_addr(host);
  return addr;
}

const win::SOCKADDR* AsSockaddr(const win::SOCKADDR_IN& addr) { return reinterpret_cast<const win::SOCKADDR*>(&addr); }

// A UDP socket bound to 127.0.0.1 on a port of the system's choosing.
win::SOCKET BoundSocket(win::WORD* port) {
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  if (s == win::INVALID_SOCKET) return s;
  win::SOCKADDR_IN addr = Address("127.0.0.1", 0);
  if (win::bind(s, AsSockaddr(addr), sizeof addr) != 0) return win::INVALID_SOCKET;
  int len = sizeof addr;
  if (win::getsockname(s, reinterpret_cast<win::SOCKADDR*>(&addr), &len) != 0) return win::INVALID_SOCKET;
  *port = win::ntohs(addr.sin_port);
  return s;
}

std::string Read(win::SOCKET s, int size = 2048, int* error = nullptr) {
  std::string buf(static_cast<std::size_t>(size), '\0');
  win::SOCKADDR_IN from{};
  int fromLen = sizeof from;
  int n = win::recvfrom(s, buf.data(), size, 0, reinterpret_cast<win::SOCKADDR*>(&from), &fromLen);
  if (n == win::SOCKET_ERROR) {
    if (error) *error = win::WSAGetLastError();
    return {};
  }
  if (error) *error = 0;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

TEST(WinsockStartupTest, CallsBeforeStartupFailNotInitialised) {
  EXPECT_EQ(win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
  EXPECT_EQ(win::closesocket(1), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
  EXPECT_EQ(win::WSACleanup(), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSANOTINITIALISED);
}

TEST(WinsockStartupTest, VersionNegotiationAndCounting) {
  win::WSADATA data;
  EXPECT_EQ(win::WSAStartup(win::MAKEWORD(1, 0), &data), win::WSAVERNOTSUPPORTED);
  EXPECT_EQ(win::WSAStartup(win::MAKEWORD(0, 9), &data), win::WSAVERNOTSUPPORTED);
  EXPECT_EQ(win::WSACleanup(), win::SOCKET_ERROR);  // refused requests registered nothing

  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(2, 2), &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);  // this library grants 1.1
  EXPECT_EQ(win::WSAStartup(win::MAKEWORD(1, 1), nullptr), win::WSAEFAULT);

  EXPECT_EQ(win::WSACleanup(), 0);
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  EXPECT_NE(s, win::INVALID_SOCKET);  // one registration still holds
  EXPECT_EQ(win::WSACleanup(), 0);
  EXPECT_EQ(win::WSACleanup(), win::SOCKET_ERROR);
  // The last cleanup closed the socket that was left open.
  win::WSADATA again;
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(1, 1), &again), 0);
  EXPECT_EQ(win::closesocket(s), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
  win::WSACleanup();
}

TEST(WinsockHandleTest, HandleZeroIsNoSocketAndStdinStaysOpen) {
  WsaSession wsa;
  ASSERT_TRUE(wsa.ok());
  EXPECT_EQ(win::closesocket(0), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
#ifndef _WIN32
  EXPECT_NE(::fcntl(0, F_GETFD), -1);  // standard input is still open
#endif
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  ASSERT_NE(s, win::INVALID_SOCKET);
  EXPECT_NE(s, 0u);
  EXPECT_EQ(win::closesocket(s), 0);
  EXPECT_EQ(win::closesocket(s), win::SOCKET_ERROR);  // second close
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
  win::SOCKET next = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  EXPECT_NE(next, s);  // handles are not reused
  char byte = 'x';
  win::SOCKADDR_IN to = Address("127.0.0.1", 9);
  EXPECT_EQ(win::sendto(s, &byte, 1, 0, AsSockaddr(to), sizeof to), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOTSOCK);
  win::closesocket(next);
}

TEST(WinsockHandleTest, RefusesOtherFamiliesAndBadArguments) {
  WsaSession wsa;
  EXPECT_EQ(win::socket(23, win::WS_SOCK_DGRAM, 0), win::INVALID_SOCKET);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEAFNOSUPPORT);
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  int one = 1;
  EXPECT_EQ(win::setsockopt(s, win::WS_SOL_SOCKET, 0x7777, reinterpret_cast<const char*>(&one), 4), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAENOPROTOOPT);
  EXPECT_EQ(win::bind(s, nullptr, 16), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEFAULT);
  win::closesocket(s);
}

TEST(InetAddrTest, DottedFormsAndNames) {
  EXPECT_EQ(win::inet_addr("127.0.0.1"), win::htonl(0x7F000001));
  EXPECT_EQ(win::inet_addr("10.1.2.3"), win::htonl(0x0A010203));
  EXPECT_EQ(win::inet_addr("127.1"), win::htonl(0x7F000001));
  EXPECT_EQ(win::inet_addr("0x7f.0.0.010"), win::htonl(0x7F000008));
  EXPECT_EQ(win::inet_addr("localhost"), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr("1.2.3.256"), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr("1.2.3.4.5"), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr("1.2.3."), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr(" 1.2.3.4"), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr(""), win::WS_INADDR_NONE);
  EXPECT_EQ(win::inet_addr(nullptr), win::WS_INADDR_NONE);
}

TEST(WinsockDatagramTest, SendAndReceiveWithPeerAddress) {
  WsaSession wsa;
  win::WORD port = 0;
  win::SOCKET s = BoundSocket(&port);
  ASSERT_NE(s, win::INVALID_SOCKET);
  kvtest::UdpListener peer;
  peer.SendTo(port, "hello");
  std::string buf(64, '\0');
  win::SOCKADDR_IN from{};
  int fromLen = sizeof from;
  int n = win::recvfrom(s, buf.data(), 64, 0, reinterpret_cast<win::SOCKADDR*>(&from), &fromLen);
  ASSERT_EQ(n, 5);
  EXPECT_EQ(buf.substr(0, 5), "hello");
  EXPECT_EQ(fromLen, 16);
  EXPECT_EQ(from.sin_family, win::WS_AF_INET);
  EXPECT_EQ(win::ntohs(from.sin_port), peer.Port());
  EXPECT_EQ(from.sin_addr.S_addr, win::inet_addr("127.0.0.1"));

  win::SOCKADDR_IN to = Address("127.0.0.1", peer.Port());
  EXPECT_EQ(win::sendto(s, "back", 4, 0, AsSockaddr(to), sizeof to), 4);
  EXPECT_EQ(peer.Receive(10s), "back");
  win::closesocket(s);
}

TEST(WinsockDatagramTest, OversizeDatagramIsConsumedAndReported) {
  WsaSession wsa;
  win::WORD port = 0;
  win::SOCKET s = BoundSocket(&port);
  ASSERT_NE(s, win::INVALID_SOCKET);
  kvtest::SendUdp(port, std::string(100, 'a'));
  kvtest::SendUdp(port, "small");
  int error = 0;
  std::string first = Read(s, 50, &error);
  EXPECT_EQ(error, win::WSAEMSGSIZE);
  EXPECT_EQ(Read(s, 50, &error), "small");  // the oversize one is gone
  EXPECT_EQ(error, 0);
  win::closesocket(s);
}

TEST(WinsockDatagramTest, BroadcastNeedsTheOption) {
  WsaSession wsa;
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  win::SOCKADDR_IN to = Address("255.255.255.255", 9);
  EXPECT_EQ(to.sin_addr.S_addr, win::WS_INADDR_NONE);
  EXPECT_EQ(win::sendto(s, "x", 1, 0, AsSockaddr(to), sizeof to), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEACCES);
  win::closesocket(s);
}

TEST(WinsockDatagramTest, ReuseAddressLetsTwoSocketsBindOnePort) {
  WsaSession wsa;
  const win::WORD port = kvtest::FreeUdpPort();
  win::SOCKADDR_IN addr = Address("0.0.0.0", port);
  int one = 1;
  win::SOCKET a = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  win::SOCKET b = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  win::SOCKET c = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  ASSERT_EQ(win::setsockopt(a, win::WS_SOL_SOCKET, win::WS_SO_REUSEADDR, reinterpret_cast<const char*>(&one), 4), 0);
  ASSERT_EQ(win::setsockopt(b, win::WS_SOL_SOCKET, win::WS_SO_REUSEADDR, reinterpret_cast<const char*>(&one), 4), 0);
  ASSERT_EQ(win::bind(a, AsSockaddr(addr), sizeof addr), 0);
  EXPECT_EQ(win::bind(b, AsSockaddr(addr), sizeof addr), 0);
  EXPECT_EQ(win::bind(c, AsSockaddr(addr), sizeof addr), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEADDRINUSE);
  win::closesocket(a);
  win::closesocket(b);
  win::closesocket(c);
}

// A socket that notifies a hidden window of the calling thread, recording
// each notification.
struct NotifiedSocket {
  NotifiedSocket() {
    hwnd = win::CreateHiddenWindow([this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
      if (msg == kSocketRead) notes.push_back({wParam, lParam});
      return win::LRESULT{0};
    });
    s = BoundSocket(&port);
  }
  ~NotifiedSocket() {
    win::closesocket(s);
    win::DestroyWindow(hwnd);
  }
  // Reads one datagram per notification, as the service's intake does.
  void ReadOnEachNotification() {
    auto proc = [this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
      if (msg != kSocketRead) return win::LRESULT{0};
      notes.push_back({wParam, lParam});
      int error = 0;
      std::string text = Read(static_cast<win::SOCKET>(wParam), 2048, &error);
      reads.push_back(error ? "error " + std::to_string(error) : text);
      return win::LRESULT{0};
    };
    win::DestroyWindow(hwnd);
    hwnd = win::CreateHiddenWindow(proc);
  }

  win::HWND hwnd = nullptr;
  win::WORD port = 0;
  win::SOCKET s = win::INVALID_SOCKET;
  std::vector<std::pair<win::WPARAM, win::LPARAM>> notes;
  std::vector<std::string> reads;
};

TEST(AsyncSelectTest, OneNotificationPerWaitingDatagramAndRead) {
  WsaSession wsa;
  NotifiedSocket ns;
  ns.ReadOnEachNotification();
  kvtest::SendUdp(ns.port, "one");
  kvtest::SendUdp(ns.port, "two");
  kvtest::SendUdp(ns.port, "three");
  ASSERT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0);
  ASSERT_TRUE(kvtest::PumpMessagesUntil([&] { return ns.reads.size() >= 3; }));
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);  // no fourth
  EXPECT_EQ(ns.reads, (std::vector<std::string>{"one", "two", "three"}));
  ASSERT_EQ(ns.notes.size(), 3u);
  for (const auto& [wParam, lParam] : ns.notes) {
    EXPECT_EQ(wParam, ns.s);
    EXPECT_EQ(lParam, win::WSAMAKESELECTREPLY(win::WS_FD_READ, 0));
  }
}

TEST(AsyncSelectTest, WithoutAReadThereIsNoSecondNotification) {
  WsaSession wsa;
  NotifiedSocket ns;
  ASSERT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0);
  kvtest::SendUdp(ns.port, "one");
  kvtest::SendUdp(ns.port, "two");
  ASSERT_TRUE(kvtest::PumpMessagesUntil([&] { return !ns.notes.empty(); }));
  std::this_thread::sleep_for(20ms);
  kvtest::PumpPendingMessages();
  EXPECT_EQ(ns.notes.size(), 1u);
  // A failing read re-enables it too.
  int error = 0;
  Read(ns.s, 1, &error);
  EXPECT_EQ(error, win::WSAEMSGSIZE);
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);  // "two" still waits
  EXPECT_EQ(ns.notes.size(), 2u);
}

TEST(AsyncSelectTest, DatagramWakesAWaitingLoopAndReadsDoNotBlock) {
  WsaSession wsa;
  NotifiedSocket ns;
  ns.ReadOnEachNotification();
  ASSERT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0);
  int error = 0;
  Read(ns.s, 2048, &error);  // nothing waits: non-blocking now
  EXPECT_EQ(error, win::WSAEWOULDBLOCK);
  std::thread sender([port = ns.port] {
    std::this_thread::sleep_for(20ms);
    kvtest::SendUdp(port, "late");
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return !ns.reads.empty(); }));
  sender.join();
  EXPECT_EQ(ns.reads, std::vector<std::string>{"late"});
}

TEST(AsyncSelectTest, RequestFromAnotherThreadNotifiesTheWindowsThread) {
  WsaSession wsa;
  NotifiedSocket ns;
  ns.ReadOnEachNotification();
  std::thread([&] { EXPECT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0); }).join();
  kvtest::SendUdp(ns.port, "x");
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return !ns.reads.empty(); }));
}

TEST(AsyncSelectTest, CloseEndsNotificationsButQueuedOneStays) {
  WsaSession wsa;
  NotifiedSocket ns;
  ns.ReadOnEachNotification();
  ASSERT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0);
  kvtest::SendUdp(ns.port, "one");
  win::MSG msg;
  ASSERT_TRUE(win::PeekMessage(&msg, nullptr, 0, 0, win::PM_NOREMOVE));  // notification queued
  EXPECT_EQ(msg.message, kSocketRead);
  const win::SOCKET closed = ns.s;
  ASSERT_EQ(win::closesocket(ns.s), 0);
  ns.s = win::INVALID_SOCKET;
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  EXPECT_EQ(ns.notes.size(), 1u);
  EXPECT_EQ(ns.notes[0].first, closed);
  EXPECT_EQ(ns.reads, std::vector<std::string>{"error 10038"});
}

TEST(AsyncSelectTest, CloseFromAnotherThreadWhileTheOwnerWaits) {
  WsaSession wsa;
  NotifiedSocket ns;
  ns.ReadOnEachNotification();
  ASSERT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, win::WS_FD_READ), 0);
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    closed = win::closesocket(ns.s) == 0;
  });
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return closed.load(); }));
  closer.join();
  ns.s = win::INVALID_SOCKET;
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  EXPECT_TRUE(ns.notes.empty());
}

TEST(AsyncSelectTest, RefusesDeadWindowsAndOtherEvents) {
  WsaSession wsa;
  NotifiedSocket ns;
  EXPECT_EQ(win::WSAAsyncSelect(ns.s, ns.hwnd, kSocketRead, 0x08), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
  win::HWND gone = win::CreateHiddenWindow([](auto...) { return win::LRESULT{0}; });
  win::DestroyWindow(gone);
  EXPECT_EQ(win::WSAAsyncSelect(ns.s, gone, kSocketRead, win::WS_FD_READ), win::SOCKET_ERROR);
  EXPECT_EQ(win::WSAGetLastError(), win::WSAEINVAL);
}

}  // namespace
