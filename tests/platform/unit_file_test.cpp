#include "platform/posix/unit_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

using win::detail::ReadDescription;
using win::detail::WithDescription;

TEST(UnitFile, DescriptionsGoInAndComeBackOutWithTheirPercentSigns) {
  const std::string unit = win::detail::RenderUnit("Log 100% sure", "/opt/KV/KVLogServer", {}, "_kv");
  EXPECT_NE(unit.find("Description=Log 100%% sure\n"), std::string::npos);
  EXPECT_EQ(ReadDescription(unit), "Log 100% sure");
  EXPECT_EQ(ReadDescription(WithDescription(unit, "50% less")), "50% less");
}

// An executable below a folder the sandbox hides or replaces is bound into
// the service's view at its own path, as one word whatever it holds; one
// elsewhere changes nothing.
TEST(UnitFile, AnExecutableTheSandboxWouldHideIsMadeVisibleReadOnly) {
  auto settings = [](const std::string& path) {
    const std::string unit = win::detail::RenderUnit("KV", path, {}, "_kv");
    std::string found;
    for (std::string key : {"ProtectHome=", "BindReadOnlyPaths="}) {
      std::string::size_type at = unit.find("\n" + key);
      if (at != std::string::npos) found += unit.substr(at + 1, unit.find('\n', at + 1) - at);
    }
    return found;
  };
  EXPECT_EQ(settings("/usr/local/bin/kvlogserver"), "ProtectHome=yes\n");
  EXPECT_EQ(settings("/homework/kvlogserver"), "ProtectHome=yes\n");
  EXPECT_EQ(settings("/tmpfiles/kvlogserver"), "ProtectHome=yes\n");
  EXPECT_EQ(settings("/home/ann/kv/build/kvlogserver"),
            "ProtectHome=tmpfs\nBindReadOnlyPaths=/home/ann/kv/build/kvlogserver\n");
  EXPECT_EQ(settings("//root//kvlogserver"), "ProtectHome=tmpfs\nBindReadOnlyPaths=//root//kvlogserver\n");
  EXPECT_EQ(settings("/run/user/1000/kvlogserver"),
            "ProtectHome=tmpfs\nBindReadOnlyPaths=/run/user/1000/kvlogserver\n");
  EXPECT_EQ(settings("/tmp/b/kvlogserver"), "ProtectHome=yes\nBindReadOnlyPaths=/tmp/b/kvlogserver\n");
  EXPECT_EQ(settings("/var/tmp/b/kvlogserver"), "ProtectHome=yes\nBindReadOnlyPaths=/var/tmp/b/kvlogserver\n");
  EXPECT_EQ(settings("/home/a b:1/100%/kv\"x"), "ProtectHome=tmpfs\nBindReadOnlyPaths=\"/home/a b:1/100%%/kv\\\"x\"\n");
}

TEST(UnitFile, SettingTheDescriptionLeavesOneAssignmentAndTheRestAsItWas) {
  const std::string unit =
      "# head\r\n[Unit]\r\nDescription=a \\\r\n  continued\r\nAfter=x\r\nDescription=b\r\n[Service]\r\nX=1";
  EXPECT_EQ(ReadDescription(unit), "b");  // the last one is in force
  EXPECT_EQ(WithDescription(unit, "new"), "# head\r\n[Unit]\r\nDescription=new\r\nAfter=x\r\n[Service]\r\nX=1\n");
  EXPECT_EQ(WithDescription("# head\n[Service]\nX=1\n", "n"), "# head\n[Unit]\nDescription=n\n\n[Service]\nX=1\n");
  EXPECT_EQ(ReadDescription("Description=outside\n[Service]\n"), std::nullopt);
}

// A unit that is a link whose target is gone stays the service's unit for
// the service manager and the registry alike: it can be opened and deleted,
// its key opened, and its Description is missing rather than written through
// the link.
TEST(UnitFile, ADanglingUnitLinkIsTheSameServiceToTheManagerAndTheRegistry) {
  kvtest::ScopedPlatformRoot root;
  const std::string folder = root.Sub("etc/systemd/system");
  std::filesystem::create_directories(folder);
  const std::string target = root.Sub("gone.service");
  ASSERT_EQ(symlink(target.c_str(), (folder + "/Ghost.service").c_str()), 0);

  win::SC_HANDLE manager = win::OpenSCManager(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  win::SC_HANDLE service = win::OpenService(manager, "ghost", win::SERVICE_ALL_ACCESS);
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(win::CreateService(manager, "Ghost", nullptr, 0, win::SERVICE_WIN32_OWN_PROCESS, win::SERVICE_DEMAND_START,
                               win::SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_SERVICE_EXISTS);

  win::HKEY key = nullptr;
  ASSERT_EQ(win::RegOpenKeyEx(win::HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Ghost", 0,
                              win::KEY_READ | win::KEY_SET_VALUE, &key),
            win::ERROR_SUCCESS);
  win::DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueEx(key, "Description", nullptr, nullptr, nullptr, &size), win::ERROR_FILE_NOT_FOUND);
  const char text[] = "written";
  EXPECT_EQ(
      win::RegSetValueEx(key, "Description", 0, win::REG_SZ, reinterpret_cast<const win::BYTE*>(text), sizeof text),
      win::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_EQ(win::RegCloseKey(key), win::ERROR_SUCCESS);

  EXPECT_TRUE(win::DeleteService(service));
  EXPECT_FALSE(std::filesystem::is_symlink(folder + "/Ghost.service"));
  EXPECT_TRUE(win::CloseServiceHandle(service));
  EXPECT_TRUE(win::CloseServiceHandle(manager));
}

}  // namespace
