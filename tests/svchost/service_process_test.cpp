// TService hosted in a real service process: the test service runs as a
// child with NOTIFY_SOCKET naming a listener, gets real signals, and writes
// its event log entries to a syslog listener under a temporary root.
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/service_control.h"
#include "support/child_process.h"
#include "support/notify_listener.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"

namespace {

using Step = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;  // state, checkpoint, controls

constexpr std::uint32_t kStopped = win::SERVICE_STOPPED;
constexpr std::uint32_t kStartPending = win::SERVICE_START_PENDING;
constexpr std::uint32_t kStopPending = win::SERVICE_STOP_PENDING;
constexpr std::uint32_t kRunning = win::SERVICE_RUNNING;
constexpr std::uint32_t kContinuePending = win::SERVICE_CONTINUE_PENDING;
constexpr std::uint32_t kPausePending = win::SERVICE_PAUSE_PENDING;
constexpr std::uint32_t kPaused = win::SERVICE_PAUSED;

const std::string kSource = "KVTestService";

// One run of the test service.
class ServiceRun {
 public:
  explicit ServiceRun(const std::vector<std::string>& args, bool withNotifySocket = true)
      : syslog_(root_),
        child_(KV_TEST_SERVICE, args,
               {{"NOTIFY_SOCKET", withNotifySocket ? std::optional<std::string>(notify_.Address()) : std::nullopt},
                {"LC_ALL", std::string("C")}}) {}

  kvtest::ChildProcess& Child() { return child_; }
  const kvtest::NotifyListener& Notify() const { return notify_; }
  const kvtest::SyslogListener& Syslog() const { return syslog_; }

  // Waits for a report of `state` after the last one waited for.
  void Await(std::uint32_t state) {
    auto index = notify_.WaitForState(state, next_);
    ASSERT_TRUE(index) << "no report of state " << state << " after report " << next_;
    next_ = *index + 1;
  }
  void Send(int sig) { ASSERT_TRUE(child_.Signal(sig)); }
  // Waits for the child to end and for everything it sent to be collected;
  // returns its exit code.
  int Finish() {
    auto code = child_.WaitForExit();
    EXPECT_TRUE(code) << "the service process did not end";
    EXPECT_TRUE(notify_.Flush());
    EXPECT_TRUE(syslog_.Flush());
    return code.value_or(-1);
  }
  // Waits until the child has printed `line`.
  bool AwaitOutput(const std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (child_.Stdout().find(line + "\n") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::vector<Step> Steps() const {
    std::vector<Step> steps;
    for (const auto& r : notify_.Reports()) steps.emplace_back(r.state, r.checkPoint, r.controlsAccepted);
    return steps;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const auto& e : syslog_.EntriesOf(kSource)) messages.push_back(e.message);
    return messages;
  }

 private:
  kvtest::ScopedPlatformRoot root_;
  kvtest::SyslogListener syslog_;
  kvtest::NotifyListener notify_;
  kvtest::ChildProcess child_;
  std::size_t next_ = 0;
};

const std::vector<Step> kStart = {{kStartPending, 1, 0}, {kStartPending, 2, 0}, {kRunning, 0, 7}};

std::vector<Step> Then(std::vector<Step> steps, const std::vector<Step>& more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

TEST(ServiceProcess, NormalStartAndStop) {
  ServiceRun run({});
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kStopPending, 0, 7}, {kStopped, 0, 7}}));
  for (const auto& r : run.Notify().Reports()) {
    EXPECT_EQ(r.serviceType, 0x10u);
    EXPECT_EQ(r.win32ExitCode, 0u);
    EXPECT_EQ(r.serviceExitCode, 0u);
    EXPECT_EQ(r.waitHint, 5000u);
    EXPECT_EQ(r.ready, r.state == kRunning);
    EXPECT_EQ(r.stopping, r.state == kStopPending);
  }
  EXPECT_EQ(run.Child().Stdout(), "start\nstop\ndispatcher returned\n");
  EXPECT_TRUE(run.Messages().empty());
}

TEST(ServiceProcess, StartHandlerThatClearsStartedStopsWithoutAnEntry) {
  ServiceRun run({"--start=refuse"});
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), (std::vector<Step>{{kStartPending, 1, 0}, {kStartPending, 2, 0}, {kStopped, 0, 7}}));
  EXPECT_TRUE(run.Messages().empty());
}

TEST(ServiceProcess, StartHandlerThatRaisesIsLoggedAndStops) {
  ServiceRun run({"--start=raise"});
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), (std::vector<Step>{{kStartPending, 1, 0}, {kStartPending, 2, 0}, {kStopped, 0, 7}}));
  auto entries = run.Syslog().EntriesOf(kSource);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].pri, 27);
  EXPECT_EQ(entries[0].message, "サービス失敗 開始: start handler failed");
}

TEST(ServiceProcess, FailingStopHandlerKeepsTheServiceRunning) {
  ServiceRun run({"--stop=raise-once"});
  run.Await(kRunning);
  run.Send(SIGTERM);
  run.Await(kStopPending);
  run.Await(kRunning);
  ASSERT_TRUE(run.Syslog().WaitForEntries(1));
  run.Send(SIGHUP);  // later requests are still handled
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(
      run.Steps(),
      Then(kStart, {{kStopPending, 0, 7}, {kRunning, 0, 7}, {kRunning, 0, 7}, {kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_EQ(run.Messages(), std::vector<std::string>{"サービス失敗 停止: stop handler failed"});
}

TEST(ServiceProcess, StopHandlerThatClearsStoppedKeepsRunningWithoutAnEntry) {
  ServiceRun run({"--stop=refuse"});
  run.Await(kRunning);
  run.Send(SIGTERM);
  run.Await(kStopPending);
  run.Await(kRunning);
  run.Send(SIGPWR);  // a shutdown still ends it
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(),
            Then(kStart, {{kStopPending, 0, 7}, {kRunning, 0, 7}, {kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_TRUE(run.Messages().empty());
}

// Requests that reach the service while its stop runs wait behind it in
// the queue; once the stop is done they are dropped: no second stop, and no
// pause that would hold the ending thread forever.
TEST(ServiceProcess, RequestsQueuedBehindAStopAreDropped) {
  ServiceRun run({"--stop=slow", "--pause=ok", "--continue=ok"});
  run.Await(kRunning);
  run.Send(SIGTERM);
  ASSERT_TRUE(run.AwaitOutput("stop"));
  run.Send(SIGUSR1);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Child().Stdout(), "start\nstop\ndispatcher returned\n");
  EXPECT_EQ(run.Steps(), Then(kStart, {{kStopPending, 0, 7}, {kStopped, 0, 7}}));
}

TEST(ServiceProcess, PauseThenContinue) {
  ServiceRun run({});
  run.Await(kRunning);
  run.Send(SIGUSR1);
  run.Await(kPaused);
  run.Send(SIGUSR2);
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kPausePending, 0, 7},
                                       {kPaused, 0, 7},
                                       {kContinuePending, 0, 7},
                                       {kRunning, 0, 7},
                                       {kStopPending, 0, 7},
                                       {kStopped, 0, 7}}));
  EXPECT_TRUE(run.Messages().empty());
}

TEST(ServiceProcess, StopWhilePaused) {
  ServiceRun run({"--pause=ok"});
  run.Await(kRunning);
  run.Send(SIGUSR1);
  run.Await(kPaused);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(),
            Then(kStart, {{kPausePending, 0, 7}, {kPaused, 0, 7}, {kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_EQ(run.Child().Stdout(), "start\npause\nstop\ndispatcher returned\n");
}

TEST(ServiceProcess, PauseAndContinueHandlersThatRefuseOrRaise) {
  ServiceRun run({"--pause=raise", "--continue=refuse"});
  run.Await(kRunning);
  run.Send(SIGUSR1);
  run.Await(kPausePending);
  run.Await(kRunning);
  run.Send(SIGUSR2);
  run.Await(kContinuePending);
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kPausePending, 0, 7},
                                       {kRunning, 0, 7},
                                       {kContinuePending, 0, 7},
                                       {kRunning, 0, 7},
                                       {kStopPending, 0, 7},
                                       {kStopped, 0, 7}}));
  EXPECT_EQ(run.Messages(), std::vector<std::string>{"サービス失敗 一時停止: pause handler failed"});
}

TEST(ServiceProcess, InterrogateReportsTheStateAgain) {
  ServiceRun run({});
  run.Await(kRunning);
  run.Send(SIGHUP);
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kRunning, 0, 7}, {kStopPending, 0, 7}, {kStopped, 0, 7}}));
}

TEST(ServiceProcess, CustomCodeReportsNothing) {
  ServiceRun run({});
  run.Await(kRunning);
  run.Send(SIGRTMIN + 2);
  ASSERT_TRUE(run.AwaitOutput("custom 130"));
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_TRUE(run.Messages().empty());
}

TEST(ServiceProcess, FailingCustomHandlerIsLoggedWithItsCode) {
  ServiceRun run({"--custom=raise"});
  run.Await(kRunning);
  run.Send(SIGRTMIN + 2);
  ASSERT_TRUE(run.Syslog().WaitForEntries(1));
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  // The state before the request is reported again.
  EXPECT_EQ(run.Steps(), Then(kStart, {{kRunning, 0, 7}, {kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_EQ(run.Messages(),
            std::vector<std::string>{"サービスに対するカスタムメッセージ (130) は失敗しました：custom handler failed"});
}

TEST(ServiceProcess, ServiceExitCodeMakesEveryReportCarry1066) {
  ServiceRun run({"--service-exit-code=42", "--win32-exit-code=5", "--start=refuse"});
  EXPECT_EQ(run.Finish(), 0);
  auto reports = run.Notify().Reports();
  ASSERT_EQ(reports.size(), 3u);
  for (const auto& r : reports) {
    EXPECT_EQ(r.win32ExitCode, 1066u);
    EXPECT_EQ(r.serviceExitCode, 42u);
  }

  ServiceRun plain({"--win32-exit-code=5", "--start=refuse"});
  EXPECT_EQ(plain.Finish(), 0);
  for (const auto& r : plain.Notify().Reports()) {
    EXPECT_EQ(r.win32ExitCode, 5u);
    EXPECT_EQ(r.serviceExitCode, 0u);
  }
}

TEST(ServiceProcess, FailingShutdownHandlerStillStops) {
  ServiceRun run({"--shutdown=raise"});
  run.Await(kRunning);
  run.Send(SIGPWR);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kStopPending, 0, 7}, {kStopped, 0, 7}}));
  EXPECT_EQ(run.Messages(), std::vector<std::string>{"サービス失敗 シャットダウン: shutdown handler failed"});
}

TEST(ServiceProcess, FailingExecuteHandlerIsLoggedAndStops) {
  ServiceRun run({"--execute=raise"});
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), Then(kStart, {{kStopped, 0, 7}}));
  EXPECT_EQ(run.Messages(), std::vector<std::string>{"サービス失敗 実行: execute handler failed"});
}

TEST(ServiceProcess, ControlsAcceptedFollowTheAllowProperties) {
  ServiceRun run({"--no-pause"});
  run.Await(kRunning);
  run.Send(SIGUSR1);  // not accepted: held back by the dispatcher
  run.Send(SIGHUP);
  run.Await(kRunning);
  run.Send(SIGTERM);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Steps(), (std::vector<Step>{{kStartPending, 1, 0},
                                            {kStartPending, 2, 0},
                                            {kRunning, 0, 5},
                                            {kRunning, 0, 5},
                                            {kStopPending, 0, 5},
                                            {kStopped, 0, 5}}));
}

TEST(ServiceProcess, WithoutNotifySocketTheDispatcherFailsWith1063) {
  ServiceRun run({}, /*withNotifySocket=*/false);
  EXPECT_EQ(run.Finish(), 1);
  EXPECT_EQ(run.Child().Stdout(), "dispatcher failed 1063\n");
  EXPECT_TRUE(run.Notify().Reports().empty());
}

}  // namespace
