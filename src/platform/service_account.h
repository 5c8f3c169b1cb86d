// The account a service runs as, and the folders it needs to write.
//
// A service installed for the LocalSystem account (CreateService without an
// account name) runs, on Windows, as LocalSystem, which may write every
// folder. POSIX: it runs as an unprivileged system user of its own, named
// after the service ("_kvlogservice" for KVLogService), not as root.
// CreateService makes that user the way Debian makes system users
// (systemd-sysusers, else adduser --system; in the platform root's
// /etc/passwd under a test root) and names it in the unit's User= and
// Group=. The folders the service writes without being told where
// (its settings folder, its default log folder) are handed to that user at
// install time with GrantServiceFolder; any other folder is the
// administrator's to hand over.
//
// All functions are safe from any thread and set the last error on failure.
#pragma once

#include <string>

#include "platform/types.h"

namespace win {

// The account a LocalSystem service of this name runs as. POSIX: "_" and
// the service name in lower case, with characters a user name may not
// hold as "_" ("_kvlogservice"). Windows: "LocalSystem".
std::string ServiceAccountName(const std::string& serviceName);

// Makes `folder` (its last level, when missing; mode 0750) and hands it to
// the service's account, taking write permission from group and others.
// A symbolic link is left as it is, and so is what it points to.
// ERROR_INVALID_SERVICE_ACCOUNT when the account does not exist.
// Windows: does nothing (LocalSystem makes its folders at the first start).
BOOL GrantServiceFolder(const std::string& serviceName, const std::string& folder);

// Hands an existing regular file to the service's account, readable for
// it and its group only. A missing file, a link or a special file is left
// as it is. Windows: does nothing.
BOOL GrantServiceFile(const std::string& serviceName, const std::string& path);

// The name of the account this process runs as ("root", "_kvlogservice";
// POSIX: "uid N" for an id without a name).
std::string ProcessAccountName();

// Why this process may not create and delete files in `folder`, in the
// system's words; "" when it may. POSIX: access(2) with the effective ids,
// so a read-only file system counts too. Windows: always "" (LocalSystem
// may write every folder an administrator has not closed to it; a save
// that fails says why).
std::string FolderWriteProblem(const std::string& folder);

}  // namespace win
