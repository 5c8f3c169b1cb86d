// The service dispatcher, control handler and status reports on the notify
// protocol, run inside the test process. Signals are sent to the
// dispatcher thread only, which blocks them.
#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/service_control.h"
#include "support/notify_listener.h"
#include "support/scoped_env.h"

namespace {

using win::DWORD;

using kvtest::ScopedEnv;

// The service-main function and the control handler of the current test.
std::function<void(DWORD, char**)> gServiceMain;
std::function<void(DWORD)> gHandler;
void ServiceMainEntry(DWORD argc, char** argv) { gServiceMain(argc, argv); }
void HandlerEntry(DWORD control) { gHandler(control); }

win::SERVICE_STATUS Status(DWORD state, DWORD accepted, DWORD checkPoint = 0) {
  win::SERVICE_STATUS s;
  s.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  s.dwCheckPoint = checkPoint;
  s.dwWaitHint = 5000;
  return s;
}

const win::SERVICE_TABLE_ENTRY kTable[] = {{"KVTestSvc", ServiceMainEntry}, {nullptr, nullptr}};

// Control codes the handler has received, with a wait for the next.
class ControlRecorder {
 public:
  void Add(DWORD control) {
    std::lock_guard lock(mutex_);
    controls_.push_back(control);
    changed_.notify_all();
  }
  bool WaitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return controls_.size() >= count; });
  }
  std::vector<DWORD> Controls() {
    std::lock_guard lock(mutex_);
    return controls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DWORD> controls_;
};

TEST(ServiceStatusNotification, CarriesTheSevenFieldsAndTheManagerLines) {
  auto startPending = Status(win::SERVICE_START_PENDING, 0, 1);
  EXPECT_EQ(win::ServiceStatusNotification(startPending, false),
            "X_SERVICE_STATUS=16 2 0 0 0 1 5000\nSTATUS=Start pending\nEXTEND_TIMEOUT_USEC=5000000");
  auto running = Status(win::SERVICE_RUNNING, 7);
  EXPECT_EQ(win::ServiceStatusNotification(running, true),
            "X_SERVICE_STATUS=16 4 7 0 0 0 5000\nSTATUS=Running\nREADY=1");
  EXPECT_EQ(win::ServiceStatusNotification(running, false), "X_SERVICE_STATUS=16 4 7 0 0 0 5000\nSTATUS=Running");
  auto stopPending = Status(win::SERVICE_STOP_PENDING, 7);
  EXPECT_EQ(win::ServiceStatusNotification(stopPending, false),
            "X_SERVICE_STATUS=16 3 7 0 0 0 5000\nSTATUS=Stop pending\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=5000000");
}

TEST(ServiceStatusNotification, ExitCodesAndZeroWaitHint) {
  auto stopped = Status(win::SERVICE_STOPPED, 7);
  stopped.dwWin32ExitCode = 1066;
  stopped.dwServiceSpecificExitCode = 5;
  EXPECT_EQ(win::ServiceStatusNotification(stopped, false),
            "X_SERVICE_STATUS=16 1 7 1066 5 0 5000\nSTATUS=Stopped (exit code 1066, service code 5)");
  stopped.dwServiceSpecificExitCode = 0;
  stopped.dwWin32ExitCode = 5;
  EXPECT_EQ(win::ServiceStatusNotification(stopped, false),
            "X_SERVICE_STATUS=16 1 7 5 0 0 5000\nSTATUS=Stopped (exit code 5)");

  auto pausePending = Status(win::SERVICE_PAUSE_PENDING, 7);
  pausePending.dwWaitHint = 0;
  EXPECT_EQ(win::ServiceStatusNotification(pausePending, false),
            "X_SERVICE_STATUS=16 6 7 0 0 0 0\nSTATUS=Pause pending");
  EXPECT_EQ(win::ServiceStateText(99), "State 99");
}

TEST(Dispatcher, FailsWith1063WithoutAServiceManager) {
  bool ran = false;
  gServiceMain = [&](DWORD, char**) { ran = true; };
  {
    ScopedEnv env("NOTIFY_SOCKET", std::nullopt);
    EXPECT_FALSE(win::StartServiceCtrlDispatcher(kTable));
    EXPECT_EQ(win::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  {
    ScopedEnv env("NOTIFY_SOCKET", std::string("/nonexistent-folder/notify"));
    EXPECT_FALSE(win::StartServiceCtrlDispatcher(kTable));
    EXPECT_EQ(win::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  {
    ScopedEnv env("NOTIFY_SOCKET", std::string("@"));
    EXPECT_FALSE(win::StartServiceCtrlDispatcher(kTable));
    EXPECT_EQ(win::GetLastError(), win::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  EXPECT_FALSE(ran);
}

TEST(Dispatcher, TableMustHoldExactlyOneService) {
  kvtest::NotifyListener notify;
  ScopedEnv env("NOTIFY_SOCKET", notify.Address());
  gServiceMain = [](DWORD, char**) {};
  const win::SERVICE_TABLE_ENTRY empty[] = {{nullptr, nullptr}};
  const win::SERVICE_TABLE_ENTRY two[] = {{"A", ServiceMainEntry}, {"B", ServiceMainEntry}, {nullptr, nullptr}};
  EXPECT_FALSE(win::StartServiceCtrlDispatcher(nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(win::StartServiceCtrlDispatcher(empty));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(win::StartServiceCtrlDispatcher(two));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
}

void RunReportingService(kvtest::NotifyListener& notify) {
  std::vector<std::string> args;
  win::SERVICE_STATUS_HANDLE handle = nullptr;
  gServiceMain = [&](DWORD argc, char** argv) {
    for (DWORD i = 0; i < argc; ++i) args.push_back(argv[i]);
    EXPECT_EQ(win::RegisterServiceCtrlHandler("OtherSvc", HandlerEntry), nullptr);
    EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_NOT_IN_EXE);
    handle = win::RegisterServiceCtrlHandler("kvtestsvc", HandlerEntry);
    ASSERT_NE(handle, nullptr);
    auto s = Status(win::SERVICE_START_PENDING, 0, 1);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    s = Status(win::SERVICE_RUNNING, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    EXPECT_FALSE(win::SetServiceStatus(handle, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
    s = Status(win::SERVICE_STOP_PENDING, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    s = Status(win::SERVICE_STOPPED, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
  };
  {
    ScopedEnv env("NOTIFY_SOCKET", notify.Address());
    EXPECT_TRUE(win::StartServiceCtrlDispatcher(kTable));
  }
  EXPECT_EQ(args, std::vector<std::string>{"KVTestSvc"});

  ASSERT_TRUE(notify.WaitForReports(5));
  auto reports = notify.Reports();
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(reports[0].state, win::SERVICE_START_PENDING);
  EXPECT_EQ(reports[0].checkPoint, 1u);
  EXPECT_EQ(reports[1].state, win::SERVICE_RUNNING);
  EXPECT_TRUE(reports[1].ready);
  EXPECT_FALSE(reports[2].ready) << "READY=1 goes with the first running report only";
  EXPECT_TRUE(reports[3].stopping);
  EXPECT_EQ(reports[4].state, win::SERVICE_STOPPED);

  // The handle of a finished run reaches nothing any more.
  auto s = Status(win::SERVICE_RUNNING, 7);
  EXPECT_FALSE(win::SetServiceStatus(handle, &s));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::SetServiceStatus(nullptr, &s));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  ASSERT_TRUE(notify.Flush());
  EXPECT_EQ(notify.Reports().size(), 5u);
}

TEST(Dispatcher, RunsTheServiceAndSendsOneDatagramPerReport) {
  kvtest::NotifyListener notify;
  RunReportingService(notify);
}

TEST(Dispatcher, ReachesAnAbstractNotifySocket) {
  kvtest::NotifyListener notify(kvtest::NotifyListener::Kind::Abstract);
  ASSERT_EQ(notify.Address()[0], '@');
  RunReportingService(notify);
}

TEST(Dispatcher, TheServicesOwnTextGoesBesideTheLastStateAndWithLaterReports) {
  kvtest::NotifyListener notify;
  win::SERVICE_STATUS_HANDLE handle = nullptr;
  gServiceMain = [&](DWORD, char**) {
    handle = win::RegisterServiceCtrlHandler("KVTestSvc", HandlerEntry);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(win::SetServiceStatusText(handle, "kept for the first report"));
    auto s = Status(win::SERVICE_RUNNING, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    EXPECT_TRUE(win::SetServiceStatusText(handle, "5 events"));
    EXPECT_TRUE(win::SetServiceStatusText(handle, "5 events"));  // nothing new: nothing sent
    s = Status(win::SERVICE_PAUSED, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
    EXPECT_TRUE(win::SetServiceStatusText(handle, "6 events"));
    EXPECT_TRUE(win::SetServiceStatusText(handle, nullptr));
    s = Status(win::SERVICE_STOPPED, 7);
    EXPECT_TRUE(win::SetServiceStatus(handle, &s));
  };
  {
    ScopedEnv env("NOTIFY_SOCKET", notify.Address());
    EXPECT_TRUE(win::StartServiceCtrlDispatcher(kTable));
  }
  ASSERT_TRUE(notify.Flush());
  std::vector<std::string> seen;
  for (const std::string& d : notify.Datagrams()) {
    if (auto report = win::ParseNotifyStatus(d)) seen.push_back("report " + report->status);
    else if (auto text = win::ParseNotifyStatusText(d)) seen.push_back("text " + *text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"report Running · kept for the first report", "text Running · 5 events",
                                            "report Paused · 5 events", "text Paused · 6 events", "text Paused",
                                            "report Stopped"}));
  EXPECT_EQ(notify.Reports().size(), 3u) << "a text is no report";
  EXPECT_FALSE(win::SetServiceStatusText(handle, "after the end"));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST(Dispatcher, ReturnsWhenServiceMainEndsWithoutRegistering) {
  kvtest::NotifyListener notify;
  ScopedEnv env("NOTIFY_SOCKET", notify.Address());
  gServiceMain = [](DWORD, char**) {};
  EXPECT_TRUE(win::StartServiceCtrlDispatcher(kTable));
  EXPECT_EQ(win::RegisterServiceCtrlHandler("KVTestSvc", HandlerEntry), nullptr);
}

// The service-main side of the signal tests: reports running with the
// given controls, then waits until the test lets it stop.
struct WaitingService {
  std::mutex mutex;
  std::condition_variable changed;
  win::SERVICE_STATUS_HANDLE handle = nullptr;
  bool stop = false;

  void Install(DWORD accepted) {
    gServiceMain = [this, accepted](DWORD, char**) {
      auto h = win::RegisterServiceCtrlHandler("KVTestSvc", HandlerEntry);
      auto s = Status(win::SERVICE_RUNNING, accepted);
      win::SetServiceStatus(h, &s);
      std::unique_lock lock(mutex);
      handle = h;
      changed.notify_all();
      changed.wait(lock, [&] { return stop; });
      s = Status(win::SERVICE_STOPPED, accepted);
      win::SetServiceStatus(h, &s);
    };
  }
  bool WaitRunning() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return handle != nullptr; });
  }
  void Report(DWORD state, DWORD accepted) {
    auto s = Status(state, accepted);
    win::SetServiceStatus(handle, &s);
  }
  void Stop() {
    std::lock_guard lock(mutex);
    stop = true;
    changed.notify_all();
  }
};

void DrainPendingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  const timespec now{};
  while (sigtimedwait(&set, nullptr, &now) > 0) {
  }
}

// Runs the dispatcher on its own thread; the test sends that thread signals.
// The service is let go before the thread is waited for, also when a test
// gives up early.
class DispatcherThread {
 public:
  DispatcherThread(const std::string& notifyAddress, WaitingService& service)
      : env_("NOTIFY_SOCKET", notifyAddress), service_(service) {
    thread_ = std::thread([this] {
      win::ScopedServiceSignalBlock block;
      result_ = win::StartServiceCtrlDispatcher(kTable);
      // A signal the dispatcher did not take before it returned would act
      // (and end the test process) once the block ends.
      DrainPendingSignals();
    });
  }
  ~DispatcherThread() {
    service_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  void Signal(int sig) { pthread_kill(thread_.native_handle(), sig); }
  win::BOOL Join() {
    thread_.join();
    return result_;
  }

 private:
  ScopedEnv env_;
  WaitingService& service_;
  std::thread thread_;
  win::BOOL result_ = win::FALSE_;
};

TEST(Dispatcher, TurnsSignalsIntoControlCodesOnItsThread) {
  kvtest::NotifyListener notify;
  ControlRecorder recorder;
  WaitingService service;
  service.Install(7);
  std::thread::id handlerThread;
  gHandler = [&](DWORD control) {
    handlerThread = std::this_thread::get_id();
    recorder.Add(control);
  };
  DispatcherThread dispatcher(notify.Address(), service);
  ASSERT_TRUE(service.WaitRunning());

  // One at a time: pending signals are taken lowest number first.
  const std::pair<int, DWORD> cases[] = {{SIGHUP, 4}, {SIGUSR1, 2}, {SIGUSR2, 3},    {SIGRTMIN + 3, 131},
                                         {SIGINT, 1}, {SIGPWR, 5},  {SIGRTMIN, 128}, {SIGTERM, 1}};
  std::size_t count = 0;
  for (auto [sig, control] : cases) {
    if (sig == SIGINT) dispatcher.Signal(SIGCONT);  // does nothing
    dispatcher.Signal(sig);
    ASSERT_TRUE(recorder.WaitForCount(++count)) << "signal " << sig;
    EXPECT_EQ(recorder.Controls().back(), control) << "signal " << sig;
  }
  EXPECT_EQ(recorder.Controls().size(), std::size(cases));
  service.Stop();
  EXPECT_TRUE(dispatcher.Join());
  EXPECT_NE(handlerThread, std::this_thread::get_id());
}

TEST(Dispatcher, HoldsBackControlsTheServiceDoesNotAccept) {
  kvtest::NotifyListener notify;
  ControlRecorder recorder;
  WaitingService service;
  service.Install(0);
  gHandler = [&](DWORD control) { recorder.Add(control); };
  DispatcherThread dispatcher(notify.Address(), service);
  ASSERT_TRUE(service.WaitRunning());

  // Pause, continue and shutdown are refused, the stop is kept (see the
  // next test); interrogate and custom codes pass. The custom code comes
  // last: it is taken after the others, so none is left pending.
  for (int sig : {SIGTERM, SIGUSR1, SIGUSR2, SIGPWR, SIGHUP}) dispatcher.Signal(sig);
  dispatcher.Signal(SIGRTMIN + 1);
  ASSERT_TRUE(recorder.WaitForCount(2));
  EXPECT_EQ(recorder.Controls(), (std::vector<DWORD>{4, 129}));

  service.Report(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE);
  ASSERT_TRUE(recorder.WaitForCount(3));
  EXPECT_EQ(recorder.Controls(), (std::vector<DWORD>{4, 129, 1}));
  dispatcher.Signal(SIGUSR1);
  ASSERT_TRUE(recorder.WaitForCount(4));
  EXPECT_EQ(recorder.Controls().back(), 2u);
  service.Stop();
  EXPECT_TRUE(dispatcher.Join());
}

// systemd sends its SIGTERM once, also while the service still starts and
// takes no stop: the stop is kept and passed on once a report accepts it.
TEST(Dispatcher, KeepsAStopThatCameBeforeTheServiceTookOne) {
  kvtest::NotifyListener notify;
  ControlRecorder recorder;
  WaitingService service;
  service.Install(0);
  gHandler = [&](DWORD control) { recorder.Add(control); };
  DispatcherThread dispatcher(notify.Address(), service);
  ASSERT_TRUE(service.WaitRunning());

  dispatcher.Signal(SIGTERM);
  dispatcher.Signal(SIGHUP);  // interrogate passes; taken after the stop
  ASSERT_TRUE(recorder.WaitForCount(1));
  EXPECT_EQ(recorder.Controls(), (std::vector<DWORD>{4}));

  service.Report(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP);
  ASSERT_TRUE(recorder.WaitForCount(2));
  EXPECT_EQ(recorder.Controls(), (std::vector<DWORD>{4, 1}));
  service.Stop();
  EXPECT_TRUE(dispatcher.Join());
}

TEST(Dispatcher, OnlyOneRunsAtATime) {
  kvtest::NotifyListener notify;
  WaitingService service;
  service.Install(7);
  gHandler = [](DWORD) {};
  DispatcherThread dispatcher(notify.Address(), service);
  ASSERT_TRUE(service.WaitRunning());
  EXPECT_FALSE(win::StartServiceCtrlDispatcher(kTable));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_ALREADY_RUNNING);
  service.Stop();
  EXPECT_TRUE(dispatcher.Join());
}

}  // namespace
