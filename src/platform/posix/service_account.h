// Making the service's own system user (platform/service_account.h), for
// the service manager.
#pragma once

#include <string>

namespace win::detail {

// Makes the system user `name` (with a group of its name, no home folder
// and no login shell; `description` as its full name) unless it exists:
// with systemd-sysusers, else with adduser --system. Under a test root in
// the root's /etc/passwd. True when the user exists at the end.
bool EnsureServiceAccount(const std::string& name, const std::string& description);

}  // namespace win::detail
