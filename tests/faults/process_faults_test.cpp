// The program while the things it writes to go away and come back: the log
// folder, the syslog socket, the notify socket. It keeps taking events,
// loses none it accepted, and stops cleanly with exit code 0.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "faults/fault_fixture.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Long enough for a flush tick of Interval=1 to pass.
void AwaitATick() { std::this_thread::sleep_for(milliseconds(1300)); }

// A unix datagram socket bound at `path`; closed at destruction (the file
// stays). With `fill`, its receive queue is filled and never read.
class DeafSocket {
 public:
  DeafSocket(const std::string& path, bool fill) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    if (!fill) return;
    // A sender's own buffer may run out before the queue does; fresh
    // senders go on until one cannot send at all.
    for (int senders = 0; senders < 256; ++senders) {
      int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      int sent = 0;
      while (sendto(sender, "f", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 1) ++sent;
      close(sender);
      if (sent == 0) return;
    }
    ADD_FAILURE() << "the receive queue of " << path << " did not fill";
  }
  ~DeafSocket() { close(fd_); }
  DeafSocket(const DeafSocket&) = delete;
  DeafSocket& operator=(const DeafSocket&) = delete;

 private:
  int fd_ = -1;
};

TEST_F(FaultTest, LogFolderRemovedWhileEventsFlowThenRestored) {
  WriteIni(1);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 200);
  AwaitATick();
  const std::string gone = LogFolder() + ".gone";
  fs::rename(LogFolder(), gone);
  Flow(200, 400);
  AwaitATick();  // a save with no folder keeps the buffer
  fs::create_directory(LogFolder());
  Flow(400, 600);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({gone, LogFolder()});
}

TEST_F(FaultTest, LogFolderReplacedByAFileThenRestored) {
  WriteIni(1);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 200);
  AwaitATick();
  const std::string gone = LogFolder() + ".gone";
  fs::rename(LogFolder(), gone);
  WriteFile(LogFolder(), "a file where the folder was\n");
  Flow(200, 400);
  AwaitATick();
  fs::remove(LogFolder());
  fs::create_directory(LogFolder());
  Flow(400, 600);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({gone, LogFolder()});
}

TEST_F(FaultTest, LogFolderReadOnlyForTheServiceThenWritableAgain) {
  WriteIni(1);
  Start(/*asNobody=*/true);
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 200);
  AwaitATick();
  ASSERT_EQ(chmod(LogFolder().c_str(), 0555), 0);
  Flow(200, 400);
  AwaitATick();  // this save fails and is reported; its lines stay
  ASSERT_TRUE(syslog_->Flush());
  bool reported = false;
  for (const SyslogEntry& entry : syslog_->Entries()) reported = reported || entry.pri == 27;
  EXPECT_TRUE(reported) << "no error entry for the failed save";
  ASSERT_EQ(chmod(LogFolder().c_str(), 0755), 0);
  Flow(400, 600);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(FaultTest, SyslogSocketMissingSendsEntriesToStandardError) {
  syslog_.reset();
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  const std::string err = child_->Stderr();
  EXPECT_NE(err.find("KVLogService: KVLogService started\n"), std::string::npos) << err;
  EXPECT_NE(err.find("KVLogService: KVLogService stopped\n"), std::string::npos) << err;
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(FaultTest, SyslogSocketNobodyListensOnSendsEntriesToStandardError) {
  syslog_.reset();
  { DeafSocket closed(root_.Sub("dev/log"), false); }  // the socket file stays; sending to it is refused
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0);
  EXPECT_NE(child_->Stderr().find("KVLogService: KVLogService stopped\n"), std::string::npos) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(FaultTest, SyslogSocketNeverReadDoesNotHoldTheServiceUp) {
  syslog_.reset();
  DeafSocket stalled(root_.Sub("dev/log"), true);
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(std::chrono::seconds(30)), 0);
  EXPECT_NE(child_->Stderr().find("KVLogService: KVLogService stopped\n"), std::string::npos) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(FaultTest, NotifySocketGoneMidRunKeepsServingAndStopsCleanly) {
  notify_.emplace(NotifyListener::Kind::Path);
  WriteIni(1);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 100);
  notify_.reset();  // the socket and its folder are gone
  Flow(100, 200);
  ASSERT_TRUE(child_->Signal(SIGUSR1));  // the paused report finds no one
  Flow(200, 300);
  ASSERT_TRUE(child_->Signal(SIGUSR2));
  AwaitATick();
  Flow(300, 400);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
  ASSERT_TRUE(syslog_->WaitForMessage("KVLogService stopped"));
}

}  // namespace
}  // namespace kvtest
