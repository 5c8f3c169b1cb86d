// TService inside the test process: properties and their Windows values,
// the failure texts, and the request thread driven through a real
// dispatcher by direct PostControlRequest calls.
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/service_control.h"
#include "support/notify_listener.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "svchost/service.h"
#include "svchost/service_texts.h"

namespace {

using kv::ServiceState;

class TPlainService : public kv::TService {
 public:
  using TService::TService;
  win::LPHANDLER_FUNCTION GetControlHandler() override { return Handler; }

  static TPlainService* current;

 private:
  static void Handler(win::DWORD control) {
    if (current) current->PostControlRequest(control);
  }
};
TPlainService* TPlainService::current = nullptr;

TEST(ServiceProperties, DefaultsOfANewInstance) {
  TPlainService s("KVLogService");
  EXPECT_EQ(s.Name(), "KVLogService");
  EXPECT_TRUE(s.AllowStop());
  EXPECT_TRUE(s.AllowPause());
  EXPECT_EQ(s.Dependencies().Count(), 0u);
  EXPECT_EQ(s.DisplayName(), "KVLogService") << "falls back to the component name";
  EXPECT_EQ(s.ErrorSeverity(), kv::TErrorSeverity::esNormal);
  EXPECT_FALSE(s.Interactive());
  EXPECT_EQ(s.LoadGroup(), "");
  EXPECT_EQ(s.Password(), "");
  EXPECT_EQ(s.ServiceStartName(), "");
  EXPECT_EQ(s.ServiceType(), kv::TServiceType::stWin32);
  EXPECT_EQ(s.StartType(), kv::TStartType::stAuto);
  EXPECT_EQ(s.TagID(), 0u);
  EXPECT_EQ(s.WaitHint(), 5000u);
  EXPECT_EQ(s.CurrentState(), ServiceState::ssStopped);
  EXPECT_EQ(s.Win32ExitCode(), 0u);
  EXPECT_EQ(s.ServiceExitCode(), 0u);
  EXPECT_EQ(s.StartArguments().Count(), 0u);
  EXPECT_EQ(s.StatusReportHandle(), nullptr);

  s.SetDisplayName("Shown");
  EXPECT_EQ(s.DisplayName(), "Shown");
  s.SetDisplayName("");
  EXPECT_EQ(s.DisplayName(), "KVLogService");
}

TEST(ServiceProperties, InteractiveExcludesAnAccount) {
  TPlainService s("S");
  s.SetPassword("secret");
  s.SetServiceStartName("user");
  s.SetInteractive(true);
  EXPECT_TRUE(s.Interactive());
  EXPECT_EQ(s.Password(), "");
  EXPECT_EQ(s.ServiceStartName(), "");
  s.SetPassword("");
  EXPECT_TRUE(s.Interactive()) << "an empty password changes nothing";
  s.SetPassword("p");
  EXPECT_FALSE(s.Interactive());
  s.SetInteractive(true);
  s.SetServiceStartName("u");
  EXPECT_FALSE(s.Interactive());
  EXPECT_EQ(s.Password(), "");
}

TEST(ServiceProperties, AssigningHandlersAllowsTheirRequests) {
  TPlainService s("S");
  s.SetAllowStop(false);
  s.SetAllowPause(false);
  EXPECT_EQ(s.WindowsControlsAccepted(), win::SERVICE_ACCEPT_SHUTDOWN);
  s.SetOnStop([](kv::TService&, bool&) {});
  EXPECT_TRUE(s.AllowStop());
  s.SetOnPause([](kv::TService&, bool&) {});
  EXPECT_TRUE(s.AllowPause());
  s.SetAllowPause(false);
  s.SetOnContinue([](kv::TService&, bool&) {});
  EXPECT_TRUE(s.AllowPause());
  EXPECT_EQ(s.WindowsControlsAccepted(), 7u);
  s.SetAllowStop(false);
  EXPECT_EQ(s.WindowsControlsAccepted(), 6u);
}

TEST(ServiceProperties, WindowsValues) {
  TPlainService s("S");
  EXPECT_EQ(s.WindowsServiceType(), 0x10u);
  s.SetInteractive(true);
  EXPECT_EQ(s.WindowsServiceType(), 0x110u);
  {
    TPlainService second("T");
    EXPECT_EQ(kv::TService::ServiceCount(), 2u);
    EXPECT_EQ(s.WindowsServiceType(), 0x120u) << "several services share the process";
  }
  EXPECT_EQ(kv::TService::ServiceCount(), 1u);
  s.SetServiceType(kv::TServiceType::stDevice);
  EXPECT_EQ(s.WindowsServiceType(), 1u);
  s.SetServiceType(kv::TServiceType::stFileSystem);
  EXPECT_EQ(s.WindowsServiceType(), 2u);

  const std::pair<kv::TStartType, std::uint32_t> starts[] = {{kv::TStartType::stBoot, 2},
                                                             {kv::TStartType::stSystem, 2},
                                                             {kv::TStartType::stAuto, 2},
                                                             {kv::TStartType::stManual, 3},
                                                             {kv::TStartType::stDisabled, 4}};
  s.SetServiceType(kv::TServiceType::stWin32);
  for (auto [type, value] : starts) {
    s.SetStartType(type);
    EXPECT_EQ(s.WindowsStartType(), value);
  }
  s.SetServiceType(kv::TServiceType::stDevice);
  s.SetStartType(kv::TStartType::stBoot);
  EXPECT_EQ(s.WindowsStartType(), 0u);
  s.SetStartType(kv::TStartType::stSystem);
  EXPECT_EQ(s.WindowsStartType(), 1u);

  const std::pair<kv::TErrorSeverity, std::uint32_t> severities[] = {{kv::TErrorSeverity::esIgnore, 0},
                                                                     {kv::TErrorSeverity::esNormal, 1},
                                                                     {kv::TErrorSeverity::esSevere, 2},
                                                                     {kv::TErrorSeverity::esCritical, 3}};
  for (auto [severity, value] : severities) {
    s.SetErrorSeverity(severity);
    EXPECT_EQ(s.WindowsErrorControl(), value);
  }
  EXPECT_EQ(kv::WindowsState(ServiceState::ssStopped), 1u);
  EXPECT_EQ(kv::WindowsState(ServiceState::ssPaused), 7u);
}

TEST(ServiceTexts, FailureMessages) {
  if (win::GetACP() != win::CP_UTF8) GTEST_SKIP() << "needs a UTF-8 (or C) locale";
  EXPECT_EQ(kv::ServiceFailedMessage(kv::ControlNames[0], "boom"), "サービス失敗 停止: boom");
  EXPECT_EQ(kv::ServiceFailedMessage(kv::StartPhaseName, ""), "サービス失敗 開始: ");
  EXPECT_EQ(kv::ServiceFailedMessage(kv::RunPhaseName, "100% sure"), "サービス失敗 実行: 100% sure");
  EXPECT_EQ(kv::CustomControlFailedMessage(200, "x"), "サービスに対するカスタムメッセージ (200) は失敗しました：x");
  EXPECT_EQ(kv::ControlNames[1], "一時停止");
  EXPECT_EQ(kv::ControlNames[2], "続行");
  EXPECT_EQ(kv::ControlNames[3], "との対話");
  EXPECT_EQ(kv::ControlNames[4], "シャットダウン");
}

TEST(ServiceRequests, PostingWithoutARequestThreadIsDropped) {
  TPlainService s("S");
  s.PostControlRequest(win::SERVICE_CONTROL_STOP);
  s.PostControlRequest(win::SERVICE_CONTROL_PAUSE);
  EXPECT_EQ(s.CurrentState(), ServiceState::ssStopped);
}

// Sets NOTIFY_SOCKET while it lives.
class ScopedNotifySocket {
 public:
  explicit ScopedNotifySocket(const std::string& address) {
    if (const char* old = std::getenv("NOTIFY_SOCKET")) previous_ = old;
    setenv("NOTIFY_SOCKET", address.c_str(), 1);
  }
  ~ScopedNotifySocket() {
    if (previous_) setenv("NOTIFY_SOCKET", previous_->c_str(), 1);
    else unsetenv("NOTIFY_SOCKET");
  }

 private:
  std::optional<std::string> previous_;
};

void ServiceMain(win::DWORD argc, char** argv) { TPlainService::current->RunService(argc, argv); }

// Runs `service` under the real dispatcher on a thread of its own.
class HostedService {
 public:
  HostedService(TPlainService& service, const kvtest::NotifyListener& notify)
      : env_(notify.Address()), service_(service), name_(service.Name()) {
    TPlainService::current = &service;
    thread_ = std::thread([this] {
      win::ScopedServiceSignalBlock block;
      win::SERVICE_TABLE_ENTRY table[] = {{name_.c_str(), ServiceMain}, {nullptr, nullptr}};
      result_ = win::StartServiceCtrlDispatcher(table);
    });
  }
  // A test that gave up early still ends the service.
  ~HostedService() {
    if (thread_.joinable()) {
      service_.PostControlRequest(win::SERVICE_CONTROL_STOP);
      thread_.join();
    }
    TPlainService::current = nullptr;
  }
  win::BOOL Join() {
    thread_.join();
    return result_;
  }

 private:
  ScopedNotifySocket env_;
  TPlainService& service_;
  std::string name_;
  std::thread thread_;
  win::BOOL result_ = win::FALSE_;
};

// Every posted request wakes a paused request thread, however the posts
// fall against the pause: the last of many pause/continue pairs posted back
// to back always leaves the service running.
TEST(ServiceRequests, PauseContinueCyclesNeverLoseAWakeUp) {
  constexpr int kCycles = 2000;
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  kvtest::NotifyListener notify;
  TPlainService service("KVRaceService");
  std::atomic<int> continues{0};
  service.SetOnContinue([&](kv::TService&, bool&) { ++continues; });
  HostedService host(service, notify);
  ASSERT_TRUE(notify.WaitForState(win::SERVICE_RUNNING));

  for (int i = 0; i < kCycles; ++i) {
    service.PostControlRequest(win::SERVICE_CONTROL_PAUSE);
    service.PostControlRequest(win::SERVICE_CONTROL_CONTINUE);
  }
  // Start pending twice and running, then four reports per cycle.
  ASSERT_TRUE(notify.WaitForReports(3 + 4 * kCycles, std::chrono::seconds(60)))
      << "requests were left in the queue of a suspended thread; " << continues << " continues handled";
  EXPECT_EQ(continues, kCycles);
  EXPECT_EQ(service.CurrentState(), ServiceState::ssRunning);

  service.PostControlRequest(win::SERVICE_CONTROL_STOP);
  EXPECT_TRUE(host.Join());
  ASSERT_TRUE(notify.WaitForReports(3 + 4 * kCycles + 2));
  auto reports = notify.Reports();
  ASSERT_EQ(reports.size(), 3u + 4 * kCycles + 2);
  for (int i = 0; i < kCycles; ++i) {
    const auto* r = &reports[3 + 4 * i];
    ASSERT_EQ(r[0].state, win::SERVICE_PAUSE_PENDING);
    ASSERT_EQ(r[1].state, win::SERVICE_PAUSED);
    ASSERT_EQ(r[2].state, win::SERVICE_CONTINUE_PENDING);
    ASSERT_EQ(r[3].state, win::SERVICE_RUNNING);
  }
  EXPECT_EQ(reports.back().state, win::SERVICE_STOPPED);
  ASSERT_TRUE(syslog.Flush());
  EXPECT_TRUE(syslog.Entries().empty());
}

// A paused thread stays paused until the next request comes, then takes it.
TEST(ServiceRequests, PausedThreadWaitsForTheNextRequest) {
  kvtest::ScopedPlatformRoot root;
  kvtest::NotifyListener notify;
  TPlainService service("KVPauseService");
  HostedService host(service, notify);
  ASSERT_TRUE(notify.WaitForState(win::SERVICE_RUNNING));
  service.PostControlRequest(win::SERVICE_CONTROL_PAUSE);
  auto paused = notify.WaitForState(win::SERVICE_PAUSED);
  ASSERT_TRUE(paused);
  EXPECT_EQ(service.CurrentState(), ServiceState::ssPaused);
  service.PostControlRequest(win::SERVICE_CONTROL_INTERROGATE);
  auto again = notify.WaitForState(win::SERVICE_PAUSED, *paused + 1);
  ASSERT_TRUE(again) << "the interrogate request woke the paused thread";
  service.PostControlRequest(win::SERVICE_CONTROL_STOP);
  EXPECT_TRUE(host.Join());
  EXPECT_TRUE(notify.WaitForState(win::SERVICE_STOPPED, *again + 1));
}

// Requests posted all through a start and stop, while the request thread
// comes and goes, are handled or dropped, never fatal.
TEST(ServiceRequests, RequestsRacingTheRequestThreadsLifeAreSafe) {
  kvtest::ScopedPlatformRoot root;
  kvtest::SyslogListener syslog(root);
  kvtest::NotifyListener notify;
  TPlainService service("KVBusyService");
  std::atomic<bool> stop{false};
  // Paced below the rate the thread handles them, so that its queue drains
  // and the stop request is never turned away by a full queue.
  std::thread poster([&] {
    for (int i = 0; i < 200000 && !stop; ++i) {
      service.PostControlRequest(win::SERVICE_CONTROL_INTERROGATE);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  {
    HostedService host(service, notify);
    ASSERT_TRUE(notify.WaitForState(win::SERVICE_RUNNING));
    service.PostControlRequest(win::SERVICE_CONTROL_STOP);
    EXPECT_TRUE(host.Join());
  }
  stop = true;
  poster.join();
  EXPECT_TRUE(notify.WaitForState(win::SERVICE_STOPPED));
  EXPECT_EQ(service.CurrentState(), ServiceState::ssStopped);
  EXPECT_EQ(service.StartArguments().Count(), 1u);
  EXPECT_EQ(service.StartArguments()[0], "KVBusyService");
  ASSERT_TRUE(syslog.Flush());
  EXPECT_TRUE(syslog.Entries().empty());
}

}  // namespace
