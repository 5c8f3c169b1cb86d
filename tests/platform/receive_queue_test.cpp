// The receive queue of notifying datagram sockets, on real sockets: a burst
// that arrives while the window's thread is blocked is kept whole and in
// order, with each datagram's sender.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/winsock.h"
#include "support/message_pump.h"
#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

constexpr win::UINT kSocketRead = win::WM_USER + 1;

struct Received {
  std::string text;
  win::WORD port;
};

TEST(ReceiveQueueTest, BurstWhileTheOwnerIsBlockedIsReadInFullInOrderWithSenders) {
  win::WSADATA data;
  ASSERT_EQ(win::WSAStartup(win::MAKEWORD(1, 1), &data), 0);
  win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  win::SOCKADDR_IN addr{};
  addr.sin_family = win::WS_AF_INET;
  addr.sin_addr.S_addr = win::inet_addr("127.0.0.1");
  ASSERT_EQ(win::bind(s, reinterpret_cast<win::SOCKADDR*>(&addr), sizeof addr), 0);
  int len = sizeof addr;
  ASSERT_EQ(win::getsockname(s, reinterpret_cast<win::SOCKADDR*>(&addr), &len), 0);
  const win::WORD port = win::ntohs(addr.sin_port);

  std::vector<Received> reads;
  int notifications = 0;
  win::HWND hwnd = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
    if (msg != kSocketRead) return win::LRESULT{0};
    ++notifications;
    char buf[2048];
    win::SOCKADDR_IN from{};
    int fromLen = sizeof from;
    int n = win::recvfrom(static_cast<win::SOCKET>(wParam), buf, sizeof buf, 0, reinterpret_cast<win::SOCKADDR*>(&from),
                          &fromLen);
    if (n >= 0) reads.push_back({std::string(buf, static_cast<std::size_t>(n)), win::ntohs(from.sin_port)});
    return win::LRESULT{0};
  });
  ASSERT_EQ(win::WSAAsyncSelect(s, hwnd, kSocketRead, win::WS_FD_READ), 0);

  constexpr int kBurst = 20000;
  kvtest::UdpListener even;
  kvtest::UdpListener odd;
  std::thread sender([&] {
    // Paced only so much that the reader thread can keep the kernel's buffer
    // from overflowing on a loaded machine: what is tested is the queue
    // between it and the blocked window thread.
    for (int i = 0; i < kBurst; ++i) {
      (i % 2 ? odd : even).SendTo(port, "datagram " + std::to_string(i));
      if (i % 50 == 49) std::this_thread::sleep_for(1ms);
    }
  });
  // The window's thread is blocked while the burst arrives.
  std::this_thread::sleep_for(500ms);
  sender.join();
  ASSERT_TRUE(kvtest::PumpMessagesUntil([&] { return reads.size() >= kBurst; }, 60s)) << reads.size();
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);  // one notification per datagram, no more
  EXPECT_EQ(notifications, kBurst);
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_EQ(reads[i].text, "datagram " + std::to_string(i));
    ASSERT_EQ(reads[i].port, (i % 2 ? odd : even).Port());
  }
  win::ReceiveQueueStats stats;
  ASSERT_EQ(win::GetReceiveQueueStats(s, &stats), 0);
  EXPECT_EQ(stats.kernelDrops + stats.queueDrops, 0u);
  EXPECT_GT(stats.kernelBufferBytes, 0);

  win::closesocket(s);
  win::DestroyWindow(hwnd);
  win::WSACleanup();
}

}  // namespace
