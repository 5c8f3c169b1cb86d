// The Service Control Manager's database through the system's own calls;
// the platform's service handles are the system's.
#include "platform/service_manager.h"

#include <string>

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

::SC_HANDLE System(SC_HANDLE handle) { return reinterpret_cast<::SC_HANDLE>(handle); }
SC_HANDLE Platform(::SC_HANDLE handle) { return reinterpret_cast<SC_HANDLE>(handle); }

// The command line the manager runs. A path with a blank is quoted, or the
// manager would try "C:\Program.exe" first.
std::string CommandLineOf(const std::string& path) {
  if (path.empty() || path.front() == '"' || path.find_first_of(" \t") == std::string::npos) return path;
  return "\"" + path + "\"";
}

}  // namespace

SC_HANDLE OpenSCManager(const char* machineName, const char* databaseName, DWORD desiredAccess) {
  return Platform(::OpenSCManagerA(machineName, databaseName, desiredAccess));
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName, DWORD desiredAccess,
                        DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password) {
  if (!binaryPathName || !*binaryPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string commandLine = CommandLineOf(binaryPathName);
  ::DWORD tag = tagId ? *tagId : 0;
  // An empty group, dependency list or password is no group, none and none.
  const char* group = loadOrderGroup && *loadOrderGroup ? loadOrderGroup : nullptr;
  const char* depends = dependencies && *dependencies ? dependencies : nullptr;
  const char* secret = password && *password ? password : nullptr;
  ::SC_HANDLE created =
      ::CreateServiceA(System(manager), serviceName, displayName, desiredAccess, serviceType, startType, errorControl,
                       commandLine.c_str(), group, tagId ? &tag : nullptr, depends, serviceStartName, secret);
  if (created && tagId) *tagId = static_cast<DWORD>(tag);
  return Platform(created);
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess) {
  return Platform(::OpenServiceA(System(manager), serviceName, desiredAccess));
}

BOOL DeleteService(SC_HANDLE service) { return ::DeleteService(System(service)) ? TRUE_ : FALSE_; }

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!handle) return detail::Fail(ERROR_INVALID_HANDLE);
  return ::CloseServiceHandle(System(handle)) ? TRUE_ : FALSE_;
}

// The service manager keeps its database in the registry, under this key.
std::string ServiceUnitFolder() { return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services"; }

}  // namespace win
