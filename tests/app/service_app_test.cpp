// The service application in process: command line, installation against a
// temporary unit folder, the run mode's dispatcher and main loop, and the
// last-resort failure box.
#include "app/svc_app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/executable_name.h"
#include "app/unhandled_failure.h"
#include "base/app_failure.h"
#include "base/exception.h"
#include "platform/error.h"
#include "platform/messages.h"
#include "platform/module.h"
#include "platform/service_control.h"
#include "support/notify_listener.h"
#include "support/scoped_env.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;
using std::string_literals::operator""s;

void NoControl(win::DWORD) {}

class TTestModule : public kv::TService {
 public:
  TTestModule() : TService("KVTestApp") {}
  ~TTestModule() override { ++destroyed; }
  win::LPHANDLER_FUNCTION GetControlHandler() override { return &NoControl; }
  static inline int destroyed = 0;
};

class TOtherModule : public kv::TService {
 public:
  TOtherModule() : TService("KVOtherApp") {}
  win::LPHANDLER_FUNCTION GetControlHandler() override { return &NoControl; }
};

using kvtest::ScopedEnv;

std::vector<std::string> Args(std::vector<std::string> switches) {
  switches.insert(switches.begin(), "app_tests");
  return switches;
}

TEST(CommandLine, SwitchesNeedASwitchCharacterAndTheWholeName) {
  EXPECT_TRUE(kv::HasSwitch(Args({"/install"}), "INSTALL"));
  EXPECT_TRUE(kv::HasSwitch(Args({"-INSTALL"}), "INSTALL"));
  EXPECT_TRUE(kv::HasSwitch(Args({"x", "/Install"}), "INSTALL"));
  EXPECT_FALSE(kv::HasSwitch(Args({"INSTALL"}), "INSTALL"));
  EXPECT_FALSE(kv::HasSwitch(Args({"/INSTALLX"}), "INSTALL"));
  EXPECT_FALSE(kv::HasSwitch(Args({"/", "INSTALL"}), "INSTALL"));
  EXPECT_FALSE(kv::HasSwitch(Args({""}), "INSTALL"));
  EXPECT_FALSE(kv::HasSwitch({"/INSTALL"}, "INSTALL"));  // the program path is not looked at
}

TEST(DependencyList, ItemsEndInNulsAndGroupsArePrefixed) {
  TTestModule service;
  EXPECT_EQ(kv::BuildDependencyList(service), "");
  service.Dependencies().Add();
  EXPECT_EQ(kv::BuildDependencyList(service), "\0\0"s);
  service.Dependencies().Clear();
  service.Dependencies().Add().Name = "A";
  kv::TDependency& group = service.Dependencies().Add();
  group.Name = "G";
  group.IsGroup = true;
  EXPECT_EQ(kv::BuildDependencyList(service), "A\0+G\0\0"s);
}

TEST(ApplicationError, NamesTheKindTheModuleAndTheMessageWithAFullStop) {
  EXPECT_EQ(kv::ApplicationErrorText("EOSError", "kvlogserver", reinterpret_cast<const void*>(0x1A2B),
                                     "System Error.  Code: 5.\r\nAccess is denied"),
            "Exception EOSError in module kvlogserver at 0000000000001A2B.\r\n"
            "System Error.  Code: 5.\r\nAccess is denied.\r\n");
  EXPECT_EQ(kv::ApplicationErrorText("Exception", "m", nullptr, "done."),
            "Exception Exception in module m at 0000000000000000.\r\ndone.\r\n");
}

// One application per test, in a temporary platform root, with the boxes'
// output captured.
class ServiceApplication : public ::testing::Test {
 protected:
  std::string UnitPath(const std::string& name = "KVTestApp") const {
    return root_.Sub("etc/systemd/system/" + name + ".service");
  }
  // Runs `body` and returns what it printed to standard output and error.
  template <class Body>
  std::pair<std::string, std::string> Capture(Body body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    std::string out = testing::internal::GetCapturedStdout();
    return {out, testing::internal::GetCapturedStderr()};
  }

  kvtest::ScopedPlatformRoot root_;
  kvtest::SyslogListener syslog_{root_};
  ScopedEnv locale_{"LC_ALL", "C"};
};

TEST_F(ServiceApplication, InstallsWithTheExecutablePathAndShowsTheSuccessBox) {
  kv::TServiceApplication app(Args({"/INSTALL"}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  ASSERT_NE(module, nullptr);
  auto [out, err] = Capture([&] { app.RunApplication(); });
  EXPECT_EQ(out, "情報\nサービスを登録しました。\n");
  EXPECT_EQ(err, "");
  std::string unit = ReadFile(UnitPath());
  EXPECT_NE(unit.find("ExecStart=" + win::ModuleFileName() + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Description=KVTestApp\n"), std::string::npos) << unit;
}

TEST_F(ServiceApplication, ASecondInstallShowsTheFailureAndNoSuccess) {
  kv::TServiceApplication app(Args({"/install", "/silent"}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  app.InstallOrUninstall(true, true);
  auto [out, err] = Capture([&] { app.InstallOrUninstall(true, false); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "エラー\n\"System Error.  Code: 1073.\nThe specified service already exists\" : "
            "サービス \"KVTestApp\" の登録は失敗しました。\n");
}

TEST_F(ServiceApplication, AFailingAfterInstallDeletesTheNewServiceAgain) {
  kv::TServiceApplication app(Args({}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  module->SetAfterInstall([](kv::TService&) { throw kv::Exception("no description"); });
  auto [out, err] = Capture([&] { app.InstallOrUninstall(true, false); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "エラー\n\"no description\" : サービス \"KVTestApp\" の登録は失敗しました。\n");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceApplication, OneFailingServiceDoesNotStopTheOthers) {
  kv::TServiceApplication app(Args({}));
  TTestModule* first = nullptr;
  TOtherModule* second = nullptr;
  app.CreateServiceModule(first);
  app.CreateServiceModule(second);
  first->SetDisplayName("First One");
  // Installed by hand: only the second service.
  win::SC_HANDLE manager = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
  win::CloseServiceHandle(win::CreateService(manager, "KVOtherApp", "KVOtherApp", win::SERVICE_ALL_ACCESS,
                                             win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_DEMAND_START,
                                             win::SERVICE_ERROR_NORMAL, "/bin/true", "", nullptr, "", nullptr, ""));
  win::CloseServiceHandle(manager);
  ASSERT_TRUE(std::filesystem::exists(UnitPath("KVOtherApp")));

  auto [out, err] = Capture([&] { app.InstallOrUninstall(false, false); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "エラー\n\"System Error.  Code: 1060.\nThe specified service does not exist as an installed service\" : "
            "サービス \"First One\" の登録解除に失敗しました。\n");
  EXPECT_FALSE(std::filesystem::exists(UnitPath("KVOtherApp")));
}

TEST_F(ServiceApplication, ATagIsCopiedBackFromTheServiceManager) {
  kv::TServiceApplication app(Args({}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  module->SetLoadGroup("Loggers");
  module->SetTagID(9);
  Capture([&] { app.InstallOrUninstall(true, true); });
  EXPECT_EQ(module->TagID(), 1u);
}

TEST_F(ServiceApplication, UninstallRemovesTheServiceAndReportsAMissingOne) {
  kv::TServiceApplication app(Args({"/UNINSTALL"}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  Capture([&] { app.InstallOrUninstall(true, true); });
  ASSERT_TRUE(std::filesystem::exists(UnitPath()));

  auto [out, err] = Capture([&] { app.RunApplication(); });
  EXPECT_EQ(out, "情報\nサービスの登録を解除しました。\n");
  EXPECT_EQ(err, "");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));

  std::tie(out, err) = Capture([&] { app.InstallOrUninstall(false, true); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err,
            "エラー\n\"System Error.  Code: 1060.\nThe specified service does not exist as an installed service\" : "
            "サービス \"KVTestApp\" の登録解除に失敗しました。\n");
}

TEST_F(ServiceApplication, AServiceManagerThatCannotBeOpenedEscapes) {
  std::filesystem::create_directories(root_.Sub("etc/systemd/system"));
  chmod(root_.Sub("etc/systemd/system").c_str(), 0555);
  kv::TServiceApplication app(Args({"/INSTALL"}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  try {
    app.RunApplication();
    FAIL() << "no failure";
  } catch (const kv::EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), win::ERROR_ACCESS_DENIED);
    EXPECT_EQ(e.Message(), "System Error.  Code: 5.\r\nAccess is denied");
  }
}

TEST_F(ServiceApplication, TheProgramShowsAnEscapedFailureAndEndsWithOne) {
  TTestModule::destroyed = 0;
  TTestModule* module = nullptr;
  int code = 0;
  auto [out, err] = Capture([&] {
    code = kv::RunServiceProgram(Args({"-install"}), "KVLogServer", [&](kv::TServiceApplication& app) {
      app.CreateServiceModule(module);
      throw kv::Exception("creation failed");
    });
  });
  EXPECT_EQ(code, 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("Application Error\nException Exception in module " + kv::ExecutableFileName() + " at ", 0), 0u)
      << err;
  EXPECT_NE(err.find(".\ncreation failed.\n"), std::string::npos) << err;
  EXPECT_EQ(TTestModule::destroyed, 1);  // released on the way out
  EXPECT_EQ(module, nullptr);
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceApplication, ReleaseDestroysTheModulesAndClearsTheirReferences) {
  TTestModule::destroyed = 0;
  kv::TServiceApplication app(Args({}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  EXPECT_EQ(app.Services().size(), 1u);
  app.ReleaseAtExit();
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(TTestModule::destroyed, 1);
  EXPECT_TRUE(app.Services().empty());
  app.ReleaseAtExit();
  EXPECT_EQ(TTestModule::destroyed, 1);
}

TEST_F(ServiceApplication, StartedByHandLogsTheDispatcherErrorAndReturns) {
  ScopedEnv noManager("NOTIFY_SOCKET", std::nullopt);
  TTestModule* module = nullptr;
  int code = kv::RunServiceProgram(Args({"INSTALL", "/INSTALLED"}), "KVLogServer",
                                   [&](kv::TServiceApplication& app) { app.CreateServiceModule(module); });
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(syslog_.Flush());
  auto entries = syslog_.EntriesOf(kv::ExecutableFileName());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].pri, 27);  // daemon, error
  EXPECT_EQ(entries[0].message, "The service process could not connect to the service controller");
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceApplication, RunModeServesOneStartAndEndsWhenTheServiceStops) {
  win::ScopedServiceSignalBlock signals;
  kvtest::NotifyListener notify;
  ScopedEnv manager("NOTIFY_SOCKET", notify.Address());
  kv::TServiceApplication app(Args({}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  bool startedOnRequestThread = false;
  module->SetOnStart([&](kv::TService&, bool& started) {
    startedOnRequestThread = true;
    started = false;  // refuse: the service stops at once
  });
  app.RunApplication();
  EXPECT_TRUE(startedOnRequestThread);
  ASSERT_TRUE(notify.Flush());
  auto reports = notify.Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front().state, win::SERVICE_START_PENDING);
  EXPECT_EQ(reports.back().state, win::SERVICE_STOPPED);
  ASSERT_TRUE(syslog_.Flush());
  EXPECT_TRUE(syslog_.EntriesOf(kv::ExecutableFileName()).empty());
}

TEST_F(ServiceApplication, DispatchMatchesTheServiceNameWithoutRegardToCase) {
  kv::TServiceApplication app(Args({}));
  TTestModule* module = nullptr;
  app.CreateServiceModule(module);
  char other[] = "KVOtherApp";
  char* otherArgs[] = {other};
  kv::TServiceApplication::ServiceMainCallback(1, otherArgs);
  EXPECT_TRUE(module->StartArguments().Count() == 0);
  // No dispatcher runs here, so the matched service cannot register its
  // handler; its arguments show that it was called.
  char name[] = "kvtestAPP";
  char* args[] = {name};
  kv::TServiceApplication::ServiceMainCallback(1, args);
  ASSERT_EQ(module->StartArguments().Count(), 1u);
  EXPECT_EQ(module->StartArguments()[0], "kvtestAPP");
}

TEST_F(ServiceApplication, UnhandledFailuresBecomeErrorEntriesUnderTheExecutableName) {
  kv::TServiceApplication app(Args({}));
  app.LogUnhandledFailure(kv::Exception("timer handler failed"));
  auto entry = syslog_.WaitForMessage("timer handler failed");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->tag, kv::ExecutableFileName());
  EXPECT_EQ(entry->pri, 27);
}

TEST_F(ServiceApplication, TheEndOfTheSessionDoesNotEndTheMainLoop) {
  {
    kv::TWindowApplication bare;
    win::SendMessage(bare.MainWindow(), win::WM_ENDSESSION, 1, 0);
    EXPECT_TRUE(bare.Terminated());
  }
  kv::TServiceApplication app(Args({}));
  win::SendMessage(app.Application().MainWindow(), win::WM_ENDSESSION, 1, 0);
  EXPECT_FALSE(app.Application().Terminated());
}

TEST(WindowApplication, AFailureInAWindowProcedureIsHandedOnAndTheLoopGoesOn) {
  std::vector<std::string> failures;
  kv::SetApplicationFailureHandler([&](const std::exception& e) { failures.push_back(e.what()); });
  std::vector<win::UINT> handled;
  kv::TWindowApplication app;
  win::HWND window = win::CreateHiddenWindow([&](win::HWND, win::UINT msg, win::WPARAM, win::LPARAM) -> win::LRESULT {
    if (msg == win::WM_USER + 7) throw kv::Exception("procedure failed");
    if (msg >= win::WM_USER) handled.push_back(msg);
    return 0;
  });
  ASSERT_NE(window, nullptr);
  win::PostMessage(window, win::WM_USER + 7, 0, 0);
  win::PostMessage(window, win::WM_USER + 8, 0, 0);
  win::PostMessage(app.MainWindow(), win::WM_QUIT, 0, 0);
  app.Run();
  kv::SetApplicationFailureHandler({});
  win::DestroyWindow(window);
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(failures, std::vector<std::string>{"procedure failed"});
  EXPECT_EQ(handled, std::vector<win::UINT>{win::WM_USER + 8});
}

}  // namespace
