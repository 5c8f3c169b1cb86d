// The intake in lockstep across restarts: one event at a time, each sent
// once the one before has been relayed, with the program killed or stopped
// between rounds; every event relayed is saved once. As root the test runs
// in a network namespace of its own whose port range for implicit binds is
// cut to the receive port and three more, so that the relay socket of every
// start gets its port from a handful, the receive port among them: a relay
// socket that could share that port would take the intake's datagrams from
// then on, in about one start in four instead of one in 28,000.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "faults/fault_fixture.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

bool LoopbackUp() {
  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq lo{};
  std::strcpy(lo.ifr_name, "lo");
  bool up = ioctl(control, SIOCGIFFLAGS, &lo) == 0;
  lo.ifr_flags |= IFF_UP;
  up = up && ioctl(control, SIOCSIFFLAGS, &lo) == 0;
  close(control);
  return up;
}

bool SetPortRange(int low, int high) {
  const int fd = open("/proc/sys/net/ipv4/ip_local_port_range", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = std::to_string(low) + " " + std::to_string(high) + "\n";
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

class LockstepTest : public FaultTest {
 protected:
  // Before any fixture makes a socket: the namespace holds all of them.
  static void SetUpTestSuite() { namespaced_ = geteuid() == 0 && unshare(CLONE_NEWNET) == 0 && LoopbackUp(); }

  void SetUp() override {
    if (namespaced_) {
      ASSERT_TRUE(SetPortRange(receivePort_, receivePort_ + 3));
    }
  }

  static inline bool namespaced_ = false;
};

TEST_F(LockstepTest, KillsAndStopsBetweenRoundsLoseNoDatagram) {
  WriteIni(3600);
  constexpr int kRounds = 40;
  constexpr int kPerRound = 25;
  for (int round = 0; round < kRounds; ++round) {
    Start();
    AwaitState(win::SERVICE_RUNNING);
    Flow(round * kPerRound, (round + 1) * kPerRound);
    if (HasFatalFailure()) return;
    if (round % 2 == 0) {
      ASSERT_TRUE(child_->Signal(SIGKILL));
      WaitForExit();
    } else {
      ASSERT_TRUE(child_->Signal(SIGTERM));
      EXPECT_EQ(WaitForExit(), 0);
    }
  }
  Start();
  AwaitState(win::SERVICE_RUNNING);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

}  // namespace
}  // namespace kvtest
