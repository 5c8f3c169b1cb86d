// The service manager's database: OpenSCManager, CreateService,
// OpenService, DeleteService, CloseServiceHandle. Service names are compared
// without regard to letter case. Every function sets the calling thread's
// last error on failure and is safe from any thread; a handle may be closed
// once, by any thread.
// POSIX: the database is the folder of systemd unit files
// (ServiceUnitFolder), a service its unit `<name>.service`, automatic start
// the link that `systemctl enable` makes.
#pragma once

#include <string>

#include "platform/service_control.h"
#include "platform/types.h"

namespace win {

struct ServiceHandleObject;
using SC_HANDLE = ServiceHandleObject*;

// Access rights of the service manager.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

// Access rights of a service.
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD DELETE_ACCESS = 0x00010000;  // DELETE
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Marks a load-ordering group in a dependency list.
constexpr char SC_GROUP_IDENTIFIER = '+';

// The name of the active database (the only one there is).
constexpr const char* SERVICES_ACTIVE_DATABASE = "ServicesActive";

// Errors beyond platform/error.h.
constexpr DWORD ERROR_INVALID_SERVICE_ACCOUNT = 1057;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;
constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;

// Opens the database of the local machine (`machineName` null or empty;
// another machine fails with RPC_S_SERVER_UNAVAILABLE). `databaseName` null
// or SERVICES_ACTIVE_DATABASE, else ERROR_DATABASE_DOES_NOT_EXIST. Fails
// with ERROR_ACCESS_DENIED (5) when the caller may not change the database
// and asks to. POSIX: the unit folder and any missing folder above it (below
// the root) are made one level at a time; a folder that cannot be made, or
// has no write permission bit (even for the super-user), is refused.
SC_HANDLE OpenSCManager(const char* machineName, const char* databaseName, DWORD desiredAccess);

// Installs a new service. `manager` needs SC_MANAGER_CREATE_SERVICE.
// Fails with ERROR_SERVICE_EXISTS (1073) when a service of that name exists,
// ERROR_INVALID_NAME for a name that cannot name a service (empty, longer
// than 256 bytes; POSIX: also a character other than letters, digits, ':',
// '_', '.' and '-'), ERROR_INVALID_PARAMETER for a missing binary path, a
// text holding a line break, a service type other than an own-process
// Win32 service, a boot or system start type, an unknown error control, or
// a tag requested without a load-ordering group; ERROR_INVALID_SERVICE_ACCOUNT
// for any account other than LocalSystem (null, "LocalSystem" or
// ".\LocalSystem") and when the service's own system user, which stands
// for LocalSystem (platform/service_account.h), cannot be made.
// `dependencies` is a list of NUL-terminated names ended by an empty one
// (POSIX: each service name becomes `Requires=` and `After=` lines, a group,
// SC_GROUP_IDENTIFIER first, is not kept). With `tagId` the
// service gets tag 1, the first of its group. `loadOrderGroup` and
// `password` are accepted and not stored. Returns a handle with
// `desiredAccess`.
SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName, DWORD desiredAccess,
                        DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password);

// Opens an installed service; ERROR_SERVICE_DOES_NOT_EXIST (1060) when it
// is not installed, ERROR_INVALID_HANDLE for a handle that is no manager.
SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess);

// Removes the service (POSIX: its unit and its automatic-start link). The
// handle needs DELETE access (else ERROR_ACCESS_DENIED); a service that is
// gone already gives ERROR_SERVICE_MARKED_FOR_DELETE (1072).
BOOL DeleteService(SC_HANDLE service);

// Closes a manager or service handle; ERROR_INVALID_HANDLE for anything else.
BOOL CloseServiceHandle(SC_HANDLE handle);

// Where the database keeps its services, for texts to the administrator:
// the Services key of the registry (POSIX: the folder of the unit files,
// `<root>/etc/systemd/system`).
std::string ServiceUnitFolder();

}  // namespace win
