#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

using kvtest::ReadFile;

constexpr const char* kExe = "/usr/local/bin/kvlogserver";

class ServiceManager : public ::testing::Test {
 protected:
  std::string Folder() const { return root_.Sub("etc/systemd/system"); }
  std::string UnitPath(const std::string& name = "KVLogService") const { return Folder() + "/" + name + ".service"; }
  std::string LinkPath(const std::string& name = "KVLogService") const {
    return Folder() + "/multi-user.target.wants/" + name + ".service";
  }
  static bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
  static std::string LinkTarget(const std::string& path) {
    char buffer[512] = {};
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

  win::SC_HANDLE OpenManager() {
    win::SC_HANDLE manager = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
    EXPECT_NE(manager, nullptr) << win::GetLastError();
    return manager;
  }

  // CreateService as the service application calls it, with a few choices.
  win::SC_HANDLE Create(win::SC_HANDLE manager, const char* name = "KVLogService", const char* display = "KVLogService",
                        const char* path = kExe, win::DWORD startType = win::SERVICE_AUTO_START,
                        const char* dependencies = "\0", const char* group = "", win::DWORD* tag = nullptr) {
    return win::CreateService(manager, name, display, win::SERVICE_ALL_ACCESS, win::SERVICE_WIN32_OWN_PROCESS,
                              startType, win::SERVICE_ERROR_NORMAL, path, group, tag, dependencies, nullptr, "");
  }

  kvtest::ScopedPlatformRoot root_;
};

TEST_F(ServiceManager, OpeningMakesTheUnitFolderOneLevelAtATime) {
  ASSERT_FALSE(std::filesystem::exists(root_.Sub("etc/systemd")));
  win::SC_HANDLE manager = OpenManager();
  EXPECT_TRUE(std::filesystem::is_directory(Folder()));
  EXPECT_TRUE(win::CloseServiceHandle(manager));
  EXPECT_FALSE(win::CloseServiceHandle(manager));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
}

TEST_F(ServiceManager, AFolderThatMayNotBeWrittenIsAccessDenied) {
  std::filesystem::create_directories(Folder());
  chmod(Folder().c_str(), 0555);  // refused even for the super-user
  EXPECT_EQ(win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  chmod(Folder().c_str(), 0755);
  win::SC_HANDLE manager = OpenManager();
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, AFileInPlaceOfTheFolderIsAccessDenied) {
  std::filesystem::create_directories(root_.Sub("etc/systemd"));
  kvtest::WriteFile(Folder(), "not a folder");
  EXPECT_EQ(win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
}

TEST_F(ServiceManager, OnlyTheLocalActiveDatabaseOpens) {
  EXPECT_EQ(win::OpenSCManager("elsewhere", nullptr, win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(win::OpenSCManager(nullptr, "Other", win::SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_DATABASE_DOES_NOT_EXIST);
  win::SC_HANDLE manager = win::OpenSCManager("", win::SERVICES_ACTIVE_DATABASE, win::SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, CreateWritesTheUnitAndTheAutomaticStartLink) {
  win::SC_HANDLE manager = OpenManager();
  win::SC_HANDLE service = Create(manager);
  ASSERT_NE(service, nullptr) << win::GetLastError();
  // What systemd needs, what a packaged daemon's unit has, then the sandbox
  // (rated by the kvlogserver tests with systemd-analyze).
  const std::string unit = ReadFile(UnitPath());
  EXPECT_EQ(unit.rfind("[Unit]\nDescription=KVLogService\nDocumentation=man:kvlogserver(8)\nAfter=network.target\n"
                       "StartLimitIntervalSec=120\nStartLimitBurst=5\n\n"
                       "[Service]\nType=notify\nExecStart=/usr/local/bin/kvlogserver\nUser=_kvlogservice\n"
                       "Group=_kvlogservice\nRestart=on-failure\nRestartSec=5\nUMask=0027\nNoNewPrivileges=yes\n",
                       0),
            0u)
      << unit;
  const std::string end = "SystemCallErrorNumber=EPERM\nProtectHome=yes\n\n[Install]\nWantedBy=multi-user.target\n";
  EXPECT_EQ(unit.substr(unit.size() - std::min(unit.size(), end.size())), end) << unit;
  ASSERT_TRUE(IsLink(LinkPath()));
  EXPECT_EQ(LinkTarget(LinkPath()), "../KVLogService.service");
  EXPECT_TRUE(std::filesystem::exists(LinkPath()));  // resolves

  // The service key exists now, with the display name as its description.
  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\KVLogService", 0,
                              win::KEY_READ, &key),
            win::ERROR_SUCCESS);
  char text[64] = {};
  win::DWORD size = sizeof text;
  EXPECT_EQ(win::RegQueryValueEx(key, "Description", nullptr, nullptr, reinterpret_cast<win::BYTE*>(text), &size),
            win::ERROR_SUCCESS);
  EXPECT_STREQ(text, "KVLogService");
  win::RegCloseKey(key);

  EXPECT_TRUE(win::CloseServiceHandle(service));
  EXPECT_TRUE(win::CloseServiceHandle(manager));
}

// The unit's User= is a system user made with it (in the root's own user
// database here); where none can be made, no unit names a missing user.
TEST_F(ServiceManager, CreateMakesTheServicesOwnUserOrWritesNoUnit) {
  win::SC_HANDLE manager = OpenManager();
  const char* found = getenv("PATH");
  const std::string path = found ? found : "/usr/sbin:/usr/bin:/sbin:/bin";
  setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(Create(manager), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_SERVICE_ACCOUNT);
  setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  win::SC_HANDLE service = Create(manager);
  ASSERT_NE(service, nullptr) << win::GetLastError();
  EXPECT_NE(ReadFile(root_.Sub("etc/passwd")).find("_kvlogservice:x:"), std::string::npos);
  win::CloseServiceHandle(service);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, ASecondCreateFailsAsExistingWhateverTheCase) {
  win::SC_HANDLE manager = OpenManager();
  win::SC_HANDLE first = Create(manager);
  ASSERT_NE(first, nullptr);
  std::string before = ReadFile(UnitPath());
  EXPECT_EQ(Create(manager, "KVLogService", "Other", "/other"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_EXISTS);
  EXPECT_EQ(Create(manager, "kvlogservice"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_EXISTS);
  EXPECT_EQ(ReadFile(UnitPath()), before);
  EXPECT_FALSE(std::filesystem::exists(UnitPath("kvlogservice")));
  win::CloseServiceHandle(first);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, DemandStartMakesNoLink) {
  win::SC_HANDLE manager = OpenManager();
  win::SC_HANDLE service = Create(manager, "Manual", "Manual", kExe, win::SERVICE_DEMAND_START);
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(std::filesystem::exists(UnitPath("Manual")));
  EXPECT_FALSE(IsLink(LinkPath("Manual")));
  win::CloseServiceHandle(service);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, OpenAndDeleteRemoveUnitAndLink) {
  win::SC_HANDLE manager = OpenManager();
  win::CloseServiceHandle(Create(manager));

  EXPECT_EQ(win::OpenService(manager, "Missing", win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);

  win::SC_HANDLE readOnly = win::OpenService(manager, "kvLOGservice", win::SERVICE_QUERY_STATUS);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_FALSE(win::DeleteService(readOnly));
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(win::DeleteService(manager));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);

  win::SC_HANDLE service = win::OpenService(manager, "KVLogService", win::SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(win::DeleteService(service));
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_FALSE(IsLink(LinkPath()));
  EXPECT_FALSE(win::DeleteService(service));
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_MARKED_FOR_DELETE);

  EXPECT_EQ(win::OpenService(manager, "KVLogService", win::SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_DOES_NOT_EXIST);
  win::CloseServiceHandle(service);
  win::CloseServiceHandle(readOnly);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, ParametersTheUnitsCannotHoldAreRefused) {
  win::SC_HANDLE manager = OpenManager();
  EXPECT_EQ(Create(manager, "With Blank"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Create(manager, "a/b"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Create(manager, ""), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_NAME);
  EXPECT_EQ(Create(manager, "S", "two\nlines"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Create(manager, "S", "S", ""), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Create(manager, "S", "S", kExe, win::SERVICE_BOOT_START), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::CreateService(manager, "S", "S", win::SERVICE_ALL_ACCESS, win::SERVICE_WIN32_SHARE_PROCESS,
                               win::SERVICE_AUTO_START, win::SERVICE_ERROR_NORMAL, kExe, "", nullptr, "", nullptr, ""),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::CreateService(manager, "S", "S", win::SERVICE_ALL_ACCESS, win::SERVICE_WIN32_OWN_PROCESS,
                               win::SERVICE_AUTO_START, win::SERVICE_ERROR_NORMAL, kExe, "", nullptr, "",
                               "NT AUTHORITY\\NetworkService", ""),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_SERVICE_ACCOUNT);
  win::DWORD tag = 7;
  EXPECT_EQ(Create(manager, "S", "S", kExe, win::SERVICE_AUTO_START, "\0", "", &tag), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(std::filesystem::exists(UnitPath("S")));

  win::SC_HANDLE noCreate = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_CONNECT);
  EXPECT_EQ(Create(noCreate), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
  win::CloseServiceHandle(noCreate);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, ATagInAGroupIsReturned) {
  win::SC_HANDLE manager = OpenManager();
  win::DWORD tag = 7;
  win::SC_HANDLE service = Create(manager, "Tagged", "Tagged", kExe, win::SERVICE_AUTO_START, "\0", "Group", &tag);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(tag, 1u);
  win::CloseServiceHandle(service);
  win::CloseServiceHandle(manager);
}

TEST_F(ServiceManager, PathsAndTextsAreWrittenSoSystemdReadsThemBack) {
  win::SC_HANDLE manager = OpenManager();
  win::SC_HANDLE service =
      Create(manager, "Odd", "100% \"sure\"", "/opt/My Programs/a\\b%c", win::SERVICE_AUTO_START, "Net\0+Group\0\0");
  ASSERT_NE(service, nullptr) << win::GetLastError();
  std::string unit = ReadFile(UnitPath("Odd"));
  EXPECT_NE(unit.find("Description=100%% \"sure\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=\"/opt/My Programs/a\\\\b%%c\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Requires=Net.service\nAfter=Net.service\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("Group.service"), std::string::npos) << unit;   // groups are no units
  EXPECT_EQ(unit.find("Documentation="), std::string::npos) << unit;  // no page for such a name
  win::CloseServiceHandle(service);

  EXPECT_EQ(Create(manager, "Bad", "Bad", kExe, win::SERVICE_AUTO_START, "no good\0\0"), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
  win::CloseServiceHandle(manager);
}

}  // namespace
