// The service manager's database on systemd unit files.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/posix/detail/ascii.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/detail/write_all.h"
#include "platform/posix/root.h"
#include "platform/posix/run_program.h"
#include "platform/posix/service_account.h"
#include "platform/posix/unit_file.h"
#include "platform/service_account.h"

namespace win {

// An open handle: the manager, or one service by the file name of its unit.
struct ServiceHandleObject {
  bool isManager = false;
  DWORD access = 0;
  std::string unitName;  // "<name>.service" as it stands in the folder
  // Set by a change made through this handle (read when it closes).
  std::atomic<bool> changedDatabase{false};
};

namespace {

using detail::EqualsNoCase;
using detail::kUnitSuffix;
constexpr std::string_view kWantsFolder = "multi-user.target.wants";
constexpr std::size_t kMaxServiceName = 256;

// Every open handle; an unknown value is refused with ERROR_INVALID_HANDLE.
detail::HandleTable<SC_HANDLE, ServiceHandleObject>& Handles() {
  static detail::HandleTable<SC_HANDLE, ServiceHandleObject> table;
  return table;
}

// Serialises this process's look-ups and changes of the unit folder.
std::mutex& DatabaseMutex() {
  static std::mutex mutex;
  return mutex;
}

SC_HANDLE FailHandle(DWORD code) {
  SetLastError(code);
  return nullptr;
}

using detail::Fail;

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes the unit folder and the missing folders above it, one level at a
// time, never above the platform root.
bool EnsureUnitFolder() {
  const std::string root = PlatformRoot();
  const std::string folder = ServiceUnitFolder();
  if (IsDirectory(folder)) return true;
  std::string::size_type pos = root.size();
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    std::string level = folder.substr(0, pos);
    if (IsDirectory(level)) continue;
    if (mkdir(level.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(level))) return false;
  }
  return IsDirectory(folder);
}

// Letters, digits, ':', '_', '.', '-': what a unit name may hold (the
// template '@' and systemd's '\' escapes are left out).
bool IsValidServiceName(std::string_view name) {
  if (name.empty() || name.size() > kMaxServiceName || name == "." || name == "..") return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_' ||
              c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// The names of a NUL-separated dependency list ended by an empty entry.
// Groups are dropped; false for a service name that cannot name a unit.
bool ParseDependencies(const char* list, std::vector<std::string>& services) {
  if (!list) return true;
  for (const char* p = list; *p != '\0';) {
    std::string_view entry(p);
    p += entry.size() + 1;
    if (entry.front() == SC_GROUP_IDENTIFIER) continue;
    if (!IsValidServiceName(entry)) return false;
    services.emplace_back(entry);
  }
  return true;
}

// Creates the file with its whole content; fails when it exists.
DWORD WriteNewFile(const std::string& path, std::string_view content) {
  detail::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return errno == EEXIST ? ERROR_SERVICE_EXISTS : ErrorFromErrno(errno);
  int err = detail::WriteAll(fd.Get(), content.data(), content.size());
  if (int closeErr = fd.Close(); closeErr != 0 && err == 0) err = closeErr;
  if (err != 0) {
    unlink(path.c_str());
    return ErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

// The automatic-start link `multi-user.target.wants/<unit>`; a stale link of
// that name is replaced.
DWORD MakeWantsLink(const std::string& unitName) {
  const std::string wants = ServiceUnitFolder() + "/" + std::string(kWantsFolder);
  if (!IsDirectory(wants) && mkdir(wants.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(wants)))
    return ErrorFromErrno(errno);
  const std::string link = wants + "/" + unitName;
  const std::string target = "../" + unitName;
  if (symlink(target.c_str(), link.c_str()) == 0) return ERROR_SUCCESS;
  if (errno != EEXIST) return ErrorFromErrno(errno);
  if (unlink(link.c_str()) != 0 || symlink(target.c_str(), link.c_str()) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

void RemoveWantsLink(const std::string& unitName) {
  const std::string link = ServiceUnitFolder() + "/" + std::string(kWantsFolder) + "/" + unitName;
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
}

// `systemctl daemon-reload` on the real root while systemd runs, so that it
// sees the changed units. Best effort: its failure changes nothing here; it
// is given 30 seconds.
void ReloadSystemdIfRunning() {
  if (!PlatformRoot().empty() || !IsDirectory("/run/systemd/system")) return;
  detail::RunProgram({"systemctl", "daemon-reload"}, std::chrono::seconds(30));
}

}  // namespace

std::string ServiceUnitFolder() { return detail::UnitFolder(); }

SC_HANDLE OpenSCManager(const char* machineName, const char* databaseName, DWORD desiredAccess) {
  if (machineName && *machineName) return FailHandle(RPC_S_SERVER_UNAVAILABLE);
  if (databaseName && !EqualsNoCase(databaseName, SERVICES_ACTIVE_DATABASE))
    return FailHandle(ERROR_DATABASE_DOES_NOT_EXIST);
  {
    std::lock_guard<std::mutex> guard(DatabaseMutex());
    if (!EnsureUnitFolder() || !detail::MayWriteFolder(ServiceUnitFolder())) return FailHandle(ERROR_ACCESS_DENIED);
  }
  auto manager = std::make_shared<ServiceHandleObject>();
  manager->isManager = true;
  manager->access = desiredAccess;
  SetLastError(ERROR_SUCCESS);
  return Handles().Add(std::move(manager));
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName, DWORD desiredAccess,
                        DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                        const char* serviceStartName, const char* /*password*/) {
  std::shared_ptr<const ServiceHandleObject> owner = Handles().Find(manager);
  if (!owner || !owner->isManager) return FailHandle(ERROR_INVALID_HANDLE);
  if ((owner->access & SC_MANAGER_CREATE_SERVICE) == 0) return FailHandle(ERROR_ACCESS_DENIED);
  if (!serviceName || !IsValidServiceName(serviceName)) return FailHandle(ERROR_INVALID_NAME);
  std::string display = displayName && *displayName ? displayName : serviceName;
  if (!binaryPathName || !*binaryPathName || HoldsLineBreak(binaryPathName) || HoldsLineBreak(display) ||
      display.back() == '\\')
    return FailHandle(ERROR_INVALID_PARAMETER);
  if ((serviceType & ~SERVICE_INTERACTIVE_PROCESS) != SERVICE_WIN32_OWN_PROCESS)
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (startType != SERVICE_AUTO_START && startType != SERVICE_DEMAND_START && startType != SERVICE_DISABLED)
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (errorControl > SERVICE_ERROR_CRITICAL) return FailHandle(ERROR_INVALID_PARAMETER);
  if (tagId && (!loadOrderGroup || !*loadOrderGroup)) return FailHandle(ERROR_INVALID_PARAMETER);
  if (serviceStartName && !EqualsNoCase(serviceStartName, "LocalSystem") &&
      !EqualsNoCase(serviceStartName, ".\\LocalSystem"))
    return FailHandle(ERROR_INVALID_SERVICE_ACCOUNT);
  std::vector<std::string> required;
  if (!ParseDependencies(dependencies, required)) return FailHandle(ERROR_INVALID_PARAMETER);

  const std::string unitName = std::string(serviceName) + std::string(kUnitSuffix);
  {
    std::lock_guard<std::mutex> guard(DatabaseMutex());
    const std::string folder = ServiceUnitFolder();
    if (!detail::MayWriteFolder(folder)) return FailHandle(ERROR_ACCESS_DENIED);
    if (!detail::FindUnit(serviceName).empty()) return FailHandle(ERROR_SERVICE_EXISTS);
    const std::string account = ServiceAccountName(serviceName);
    if (!detail::EnsureServiceAccount(account, serviceName)) return FailHandle(ERROR_INVALID_SERVICE_ACCOUNT);
    const std::string unitPath = folder + "/" + unitName;
    if (DWORD err = WriteNewFile(unitPath, detail::RenderUnit(display, binaryPathName, required, account)))
      return FailHandle(err);
    if (startType == SERVICE_AUTO_START) {
      if (DWORD err = MakeWantsLink(unitName)) {
        unlink(unitPath.c_str());
        return FailHandle(err);
      }
    }
  }
  if (tagId) *tagId = 1;
  auto service = std::make_shared<ServiceHandleObject>();
  service->access = desiredAccess;
  service->unitName = unitName;
  service->changedDatabase = true;
  SetLastError(ERROR_SUCCESS);
  return Handles().Add(std::move(service));
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess) {
  std::shared_ptr<const ServiceHandleObject> owner = Handles().Find(manager);
  if (!owner || !owner->isManager) return FailHandle(ERROR_INVALID_HANDLE);
  if (!serviceName || !IsValidServiceName(serviceName)) return FailHandle(ERROR_INVALID_NAME);
  std::string unitName;
  {
    std::lock_guard<std::mutex> guard(DatabaseMutex());
    unitName = detail::FindUnit(serviceName);
  }
  if (unitName.empty()) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  auto service = std::make_shared<ServiceHandleObject>();
  service->access = desiredAccess;
  service->unitName = unitName;
  SetLastError(ERROR_SUCCESS);
  return Handles().Add(std::move(service));
}

BOOL DeleteService(SC_HANDLE service) {
  std::shared_ptr<ServiceHandleObject> object = Handles().Find(service);
  if (!object || object->isManager) return Fail(ERROR_INVALID_HANDLE);
  if ((object->access & DELETE_ACCESS) == 0) return Fail(ERROR_ACCESS_DENIED);
  {
    std::lock_guard<std::mutex> guard(DatabaseMutex());
    const std::string folder = ServiceUnitFolder();
    const std::string unitPath = folder + "/" + object->unitName;
    if (!detail::IsUnitEntry(unitPath)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (!detail::MayWriteFolder(folder)) return Fail(ERROR_ACCESS_DENIED);
    if (unlink(unitPath.c_str()) != 0)
      return Fail(errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : ErrorFromErrno(errno));
    RemoveWantsLink(object->unitName);
  }
  object->changedDatabase = true;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  std::shared_ptr<const ServiceHandleObject> object = Handles().Remove(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (object->changedDatabase) ReloadSystemdIfRunning();
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
