// Ports that the system chooses for a socket of the emulation (a first send
// before any bind, a bind to port 0) are never ports that another socket
// holds, even with SO_REUSEADDR on both: Linux would share them, and the
// newer socket would take the older one's datagrams.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
// The system's byte-order macros would stand in for the library's functions.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/winsock.h"

namespace {

win::SOCKADDR_IN Address(const char* host, win::WORD port) {
  win::SOCKADDR_IN addr{};
  addr.sin_family = win::WS_AF_INET;
  addr.sin_port = win::htons(port);
  addr.sin_addr.S_addr = win::inet_addr(host);
  return addr;
}

const win::SOCKADDR* AsSockaddr(const win::SOCKADDR_IN& addr) { return reinterpret_cast<const win::SOCKADDR*>(&addr); }

// In a network namespace of its own (a child process), with the system's
// port range cut down to the port `holder` holds with SO_REUSEADDR, then to
// that port and one more: a socket of ours with the option set never gets
// the held port from an implicit bind (first send) or a bind to port 0, and
// the holder keeps receiving. The exit code names the step that failed; 77
// when no namespace can be had.
int PortSharingChild() {
  if (::unshare(geteuid() == 0 ? CLONE_NEWNET : CLONE_NEWUSER | CLONE_NEWNET) != 0) return 77;
  int control = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  if (::ioctl(control, SIOCGIFFLAGS, &lo) != 0) return 77;
  lo.ifr_flags |= IFF_UP;
  if (::ioctl(control, SIOCSIFFLAGS, &lo) != 0) return 77;
  auto portRange = [](int low, int high) {
    int fd = ::open("/proc/sys/net/ipv4/ip_local_port_range", O_WRONLY | O_CLOEXEC);
    const std::string text = std::to_string(low) + " " + std::to_string(high) + "\n";
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    return ok;
  };
  constexpr int kHeld = 40000;
  const int one = 1;
  int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = win::htons(kHeld);
  if (::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 2;
  if (!portRange(kHeld, kHeld)) return 77;

  win::WSADATA data;
  if (win::WSAStartup(win::MAKEWORD(1, 1), &data) != 0) return 1;
  auto reusing = [&] {
    win::SOCKET s = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
    win::setsockopt(s, win::WS_SOL_SOCKET, win::WS_SO_REUSEADDR, reinterpret_cast<const char*>(&one), 4);
    return s;
  };
  auto portOf = [](win::SOCKET s) {
    win::SOCKADDR_IN addr{};
    int len = sizeof addr;
    return win::getsockname(s, reinterpret_cast<win::SOCKADDR*>(&addr), &len) == 0 ? win::ntohs(addr.sin_port) : 0;
  };
  const win::SOCKADDR_IN held = Address("127.0.0.1", kHeld);
  win::SOCKET sender = reusing();
  win::sendto(sender, "x", 1, 0, AsSockaddr(held), sizeof held);
  if (portOf(sender) == kHeld) return 3;
  win::SOCKET bound = reusing();
  const win::SOCKADDR_IN anyPort = Address("0.0.0.0", 0);
  win::bind(bound, AsSockaddr(anyPort), sizeof anyPort);
  if (portOf(bound) == kHeld) return 4;

  if (!portRange(kHeld, kHeld + 1)) return 77;
  if (win::sendto(sender, "y", 1, 0, AsSockaddr(held), sizeof held) != 1) return 5;
  if (portOf(sender) != kHeld + 1) return 6;
  // The one datagram that went out reached the holder.
  char buf[8];
  pollfd wait{holder, POLLIN, 0};
  if (::poll(&wait, 1, 2000) != 1 || ::recv(holder, buf, sizeof buf, 0) != 1) return 7;
  return 0;
}

TEST(WinsockDatagramTest, ASystemChosenPortIsNeverOneAnotherSocketHolds) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(PortSharingChild());
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs a network namespace of its own";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the step of PortSharingChild that returns this code failed";
}

}  // namespace
