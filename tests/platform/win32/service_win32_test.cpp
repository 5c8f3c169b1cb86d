// The service table, the foreground dispatcher and the service manager's
// database of the Windows backend.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/foreground.h"
#include "platform/service_control.h"
#include "platform/service_manager.h"
#include "win32_fixture.h"

namespace {

win::SERVICE_STATUS_HANDLE gStatus = nullptr;
std::vector<win::DWORD> gControls;

void Report(win::DWORD state, win::DWORD accepted) {
  win::SERVICE_STATUS status;
  status.dwServiceType = win::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  win::SetServiceStatus(gStatus, &status);
}

void Handler(win::DWORD control) { gControls.push_back(control); }

// Runs, hands itself a stop through its handler, and stops.
void ServiceMain(win::DWORD argc, char** argv) {
  ASSERT_EQ(argc, 1u);
  gStatus = win::RegisterServiceCtrlHandler(argv[0], Handler);
  ASSERT_NE(gStatus, nullptr);
  Report(win::SERVICE_RUNNING, win::SERVICE_ACCEPT_STOP);
  Report(win::SERVICE_STOPPED, 0);
}

// (Started by hand, the system's dispatcher fails with 1063, after some
// seconds under Wine: the end-to-end test sees that, not this one.)
TEST(ServiceTableWin32, ATableOfOneServiceIsRequired) {
  win::SERVICE_TABLE_ENTRY two[] = {{"A", ServiceMain}, {"B", ServiceMain}, {nullptr, nullptr}};
  EXPECT_FALSE(win::StartServiceCtrlDispatcher(two));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::RegisterServiceCtrlHandler("KVTest", Handler), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_NOT_IN_EXE);
}

TEST(ServiceTableWin32, InTheForegroundTheDispatcherRunsTheServiceAndPrintsItsStates) {
  testing::internal::CaptureStderr();
  bool ok = false;
  {
    win::ForegroundServiceManager manager("kvtest");
    win::SERVICE_TABLE_ENTRY one[] = {{"KVTest", ServiceMain}, {nullptr, nullptr}};
    ok = win::StartServiceCtrlDispatcher(one);
    win::HEVENTLOG source = win::RegisterEventSource(nullptr, "KVTest");
    const char* strings[] = {"entry", "text"};
    EXPECT_TRUE(win::ReportEvent(source, win::EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr));
    EXPECT_TRUE(win::DeregisterEventSource(source));
    EXPECT_FALSE(win::ReportEvent(source, win::EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr));
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  }
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ok);
  EXPECT_EQ(printed, "kvtest: Running\nkvtest: Stopped\nKVTest: entry text\n");
  EXPECT_FALSE(win::SetServiceStatus(gStatus, nullptr));
}

// A service of its own name, removed again whatever the test found.
class ServiceDatabaseWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager_, nullptr) << win::GetLastError();
  }
  void TearDown() override {
    if (win::SC_HANDLE left = win::OpenService(manager_, name_.c_str(), win::SERVICE_ALL_ACCESS)) {
      win::DeleteService(left);
      win::CloseServiceHandle(left);
    }
    win::CloseServiceHandle(manager_);
  }
  win::SC_HANDLE Create(const char* path) {
    return win::CreateService(manager_, name_.c_str(), "KV Test Service", win::SERVICE_ALL_ACCESS,
                              win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_DEMAND_START, win::SERVICE_ERROR_NORMAL,
                              path, "", nullptr, "", nullptr, "");
  }

  win::SC_HANDLE manager_ = nullptr;
  std::string name_ = "KVTestSvc" + std::to_string(reinterpret_cast<std::uintptr_t>(this) & 0xFFFF);
};

TEST_F(ServiceDatabaseWin32, APathWithABlankIsQuotedAndAServiceExistsOnce) {
  win::SC_HANDLE created = Create("C:\\Program Files\\KelvaneSystem\\kvlogserver.exe");
  ASSERT_NE(created, nullptr) << win::GetLastError();
  const kvwintest::ServiceConfig config = kvwintest::QueryConfig(name_);
  EXPECT_EQ(config.commandLine, "\"C:\\Program Files\\KelvaneSystem\\kvlogserver.exe\"");
  EXPECT_EQ(config.type, win::SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(config.displayName, "KV Test Service");

  EXPECT_EQ(Create("C:\\other.exe"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_EXISTS);

  EXPECT_TRUE(win::DeleteService(created));
  EXPECT_TRUE(win::CloseServiceHandle(created));
  EXPECT_EQ(win::OpenService(manager_, name_.c_str(), win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_FALSE(win::CloseServiceHandle(nullptr));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

}  // namespace
