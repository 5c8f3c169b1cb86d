#include "net/msg_recv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exception.h"
#include "net/app_event_msg.h"
#include "platform/error.h"
#include "platform/messages.h"
#include "support/message_pump.h"
#include "support/udp_listener.h"

namespace {

using namespace std::chrono_literals;

// The receiver's owner: a window on the test thread whose procedure reads
// one datagram per notification through SocketHandle and PeerAddr, as the
// service's intake does.
class Owner {
 public:
  Owner() {
    hwnd_ = win::CreateHiddenWindow([this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
      if (msg != kv::TMsgRecv::NotifyMessage) return win::LRESULT{0};
      ++notifications;
      lastWParam = wParam;
      lastLParam = lParam;
      std::string buf(2048, '\0');
      int len = sizeof receiver.PeerAddr;
      int n = win::recvfrom(receiver.SocketHandle, buf.data(), 2048, 0,
                            reinterpret_cast<win::SOCKADDR*>(&receiver.PeerAddr), &len);
      if (n == win::SOCKET_ERROR) {
        errors.push_back(win::WSAGetLastError());
      } else {
        buf.resize(static_cast<std::size_t>(n));
        datagrams.push_back(buf);
      }
      return win::LRESULT{0};
    });
  }
  ~Owner() { win::DestroyWindow(hwnd_); }
  win::HWND hwnd() const { return hwnd_; }

  // Opens on a free port; false when it was taken meanwhile.
  win::WORD OpenOnFreePort() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      win::WORD port = kvtest::FreeUdpPort();
      try {
        receiver.Open(hwnd_, port);
        return port;
      } catch (const kv::Exception&) {
        if (receiver.SocketHandle != win::INVALID_SOCKET) receiver.Close();
      }
    }
    return 0;
  }

  kv::TMsgRecv receiver;
  int notifications = 0;
  win::WPARAM lastWParam = 0;
  win::LPARAM lastLParam = 0;
  std::vector<std::string> datagrams;
  std::vector<int> errors;

 private:
  win::HWND hwnd_ = nullptr;
};

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const kv::Exception& e) {
    return e.Message();
  }
  return "<no failure>";
}

TEST(MsgRecvTest, StartupGrantsVersionOneOne) {
  kv::TMsgRecv r;
  r.Startup();
  EXPECT_EQ(r.RequestedVersion(), 0x0101);
  EXPECT_EQ(r.WinSockData().wVersion, 0x0101);
  EXPECT_EQ(r.StartupResult(), 0);
  r.Cleanup();
}

TEST(MsgRecvTest, ThreeDatagramsBeforeTheLoopGiveExactlyThreeNotifications) {
  Owner owner;
  owner.receiver.Startup();
  win::WORD port = owner.OpenOnFreePort();
  ASSERT_NE(port, 0);
  kvtest::UdpListener peer;
  peer.SendTo(port, "first");
  peer.SendTo(port, "second");
  peer.SendTo(port, "third");
  ASSERT_TRUE(kvtest::PumpMessagesUntil([&] { return owner.datagrams.size() >= 3; }));
  EXPECT_EQ(kvtest::PumpPendingMessages(), 0);
  EXPECT_EQ(owner.notifications, 3);
  EXPECT_EQ(owner.datagrams, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(owner.lastWParam, owner.receiver.SocketHandle);
  EXPECT_EQ(owner.lastLParam, win::WSAMAKESELECTREPLY(win::WS_FD_READ, 0));
  EXPECT_EQ(win::ntohs(owner.receiver.PeerAddr.sin_port), peer.Port());
  EXPECT_EQ(owner.receiver.PeerAddr.sin_addr.S_addr, win::inet_addr("127.0.0.1"));
  owner.receiver.Close();
  owner.receiver.Cleanup();
}

TEST(MsgRecvTest, OversizeDatagramIsReportedAndConsumed) {
  Owner owner;
  owner.receiver.Startup();
  win::WORD port = owner.OpenOnFreePort();
  ASSERT_NE(port, 0);
  kvtest::SendUdp(port, std::string(3000, 'z'));
  kvtest::SendUdp(port, std::string(2048, 'k'));
  ASSERT_TRUE(kvtest::PumpMessagesUntil([&] { return owner.notifications >= 2; }));
  EXPECT_EQ(owner.errors, std::vector<int>{win::WSAEMSGSIZE});
  ASSERT_EQ(owner.datagrams.size(), 1u);
  EXPECT_EQ(owner.datagrams[0], std::string(2048, 'k'));  // exactly 2048 is taken whole
  owner.receiver.Close();
  owner.receiver.Cleanup();
}

TEST(MsgRecvTest, SenderToReceiverOnPort70000MeansPort4464) {
  Owner owner;
  owner.receiver.Startup();
  try {
    owner.receiver.Open(owner.hwnd(), 70000);
  } catch (const kv::Exception& e) {
    owner.receiver.Close();
    owner.receiver.Cleanup();
    GTEST_SKIP() << "port 4464 is taken: " << e.Message();
  }
  EXPECT_EQ(owner.receiver.LocalAddr().sin_port, win::htons(4464));
  EXPECT_EQ(owner.receiver.LocalAddr().sin_addr.S_addr, 0u);
  kv::TAppEventMsg sender(70000, "127.0.0.1");
  sender.Startup();
  sender.Open();
  sender.SendEvent("App", "over 4464", "Src", 3, 4);
  EXPECT_TRUE(kvtest::PumpMessagesUntil([&] { return !owner.datagrams.empty(); }));
  ASSERT_EQ(owner.datagrams.size(), 1u);
  EXPECT_NE(owner.datagrams[0].find(":App:Src:3:4:over 4464"), std::string::npos);
  sender.Close();
  sender.Cleanup();
  owner.receiver.Close();
  owner.receiver.Cleanup();
}

TEST(MsgRecvTest, PortHeldWithReuseAddressCanBeOpenedAgain) {
  Owner a;
  Owner b;
  a.receiver.Startup();
  b.receiver.Startup();
  win::WORD port = a.OpenOnFreePort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(MessageOf([&] { b.receiver.Open(b.hwnd(), port); }), "<no failure>");
  a.receiver.Close();
  b.receiver.Close();
  a.receiver.Cleanup();
  b.receiver.Cleanup();
}

TEST(MsgRecvTest, BindFailureCarriesTheNumberAndKeepsTheSocketForClose) {
  kvtest::UdpListener holder;  // bound without SO_REUSEADDR on 127.0.0.1
  Owner owner;
  owner.receiver.Startup();
  // Every local address includes the holder's: the bind is refused.
  EXPECT_EQ(MessageOf([&] { owner.receiver.Open(owner.hwnd(), holder.Port()); }), "Bind Socket failed. stat = 10048");
  EXPECT_NE(owner.receiver.SocketHandle, 0u);
  EXPECT_EQ(MessageOf([&] { owner.receiver.Close(); }), "<no failure>");
  owner.receiver.Cleanup();
}

TEST(MsgRecvTest, CloseBeforeOpenAndTwiceFailWithTheLibrarysNumber) {
  Owner owner;
  owner.receiver.Startup();
  EXPECT_EQ(MessageOf([&] { owner.receiver.Close(); }), "CloseSocket call failed. stat = 10038");
  ASSERT_NE(owner.OpenOnFreePort(), 0);
  win::SOCKET handle = owner.receiver.SocketHandle;
  owner.receiver.Close();
  EXPECT_EQ(MessageOf([&] { owner.receiver.Close(); }), "CloseSocket call failed. stat = 10038");
  EXPECT_EQ(owner.receiver.SocketHandle, handle);  // keeps its value
  owner.receiver.Cleanup();
}

TEST(MsgRecvTest, OpenWithoutStartupFailsAtCreate) {
  Owner owner;
  EXPECT_EQ(MessageOf([&] { owner.receiver.Open(owner.hwnd(), 0); }), "Create Socket failed. stat = 10093");
  EXPECT_EQ(owner.receiver.SocketHandle, win::INVALID_SOCKET);
}

TEST(MsgRecvTest, NotificationQueuedBeforeCloseFindsNoSocket) {
  Owner owner;
  owner.receiver.Startup();
  win::WORD port = owner.OpenOnFreePort();
  ASSERT_NE(port, 0);
  kvtest::SendUdp(port, "late");
  win::MSG msg;
  ASSERT_TRUE(win::PeekMessage(&msg, owner.hwnd(), 0, 0, win::PM_NOREMOVE));
  owner.receiver.Close();
  EXPECT_EQ(kvtest::PumpPendingMessages(), 1);
  EXPECT_EQ(owner.errors, std::vector<int>{win::WSAENOTSOCK});
  owner.receiver.Cleanup();
}

}  // namespace
