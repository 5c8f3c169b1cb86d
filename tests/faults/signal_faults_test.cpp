// Control signals at awkward moments: during a save, during the start, twice
// in a row, and a storm of pause/continue/interrogate through svcrun. The
// program ends with exit code 0 and every accepted event in its files once.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "faults/fault_fixture.h"
#include "logsvc/event_line.h"
#include "platform/service_control.h"

namespace kvtest {
namespace {

TEST_F(FaultTest, StopDuringASaveOfALargeBuffer) {
  WriteIni(0);  // saves only on the flush command and at stop
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 20000);
  SendRaw("2024/03/05 14.07.09:1:FaultApp:FaultSource:1:2:" + std::string(kv::kFlushCommand));
  // No wait: the stop meets the save of 20,000 lines.
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

TEST_F(FaultTest, StopDuringTheStart) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_START_PENDING);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ASSERT_TRUE(notify_->Flush());
  ASSERT_FALSE(notify_->Reports().empty());
  EXPECT_EQ(notify_->Reports().back().state, win::SERVICE_STOPPED);
}

TEST_F(FaultTest, TwoStopsInARow) {
  WriteIni(3600);
  Start();
  AwaitState(win::SERVICE_RUNNING);
  Flow(0, 500);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stderr();
  ExpectEveryAcceptedEventOnce({LogFolder()});
  ASSERT_TRUE(syslog_->Flush());
  std::size_t stops = 0;
  for (const SyslogEntry& entry : syslog_->Entries()) {
    if (entry.message.find("KVLogService stopped") != std::string::npos) ++stops;
  }
  EXPECT_EQ(stops, 1u);
}

TEST_F(FaultTest, ControlSignalStormThroughSvcrunEndingInAStop) {
  notify_.reset();  // svcrun is the service manager here
  WriteIni(1);
  StartUnder(SVCRUN, {"--root", root_.Path(), KVLOGSERVER});
  ASSERT_TRUE(Eventually([&] { return child_->Stdout().find("state RUNNING") != std::string::npos; }))
      << child_->Stdout() << child_->Stderr();

  // 1,000 mixed requests within about a second while events flow.
  std::thread storm([pid = child_->Pid()] {
    const int signals[] = {SIGUSR1, SIGUSR2, SIGHUP};
    for (int i = 0; i < 1000; ++i) {
      kill(pid, signals[(i * 7 + i / 3) % 3]);
      std::this_thread::sleep_for(std::chrono::microseconds(900));
    }
  });
  Flow(0, 1000);
  storm.join();
  Flow(1000, 1100);
  ASSERT_TRUE(child_->Signal(SIGTERM));
  EXPECT_EQ(WaitForExit(), 0) << child_->Stdout() << child_->Stderr();
  EXPECT_NE(child_->Stdout().find("state STOPPED"), std::string::npos) << child_->Stdout();
  ExpectEveryAcceptedEventOnce({LogFolder()});
}

}  // namespace
}  // namespace kvtest
