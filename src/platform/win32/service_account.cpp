// LocalSystem: the account Windows services of this program run as, which
// may write every folder; nothing to make or hand over.
#include "platform/service_account.h"

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {

std::string ServiceAccountName(const std::string&) { return "LocalSystem"; }

BOOL GrantServiceFolder(const std::string&, const std::string&) {
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL GrantServiceFile(const std::string&, const std::string&) {
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

std::string ProcessAccountName() {
  char name[257] = {};
  ::DWORD size = sizeof name;
  if (!::GetUserNameA(name, &size)) return "";
  return name;
}

std::string FolderWriteProblem(const std::string&) { return ""; }

}  // namespace win
