// The service's own system user: its name, making it, and handing folders
// to it.
#include "platform/service_account.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/posix/detail/ascii.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/root.h"
#include "platform/posix/run_program.h"
#include "platform/posix/service_account.h"
#include "platform/service_manager.h"

namespace win {
namespace {

using detail::Fail;

struct Ids {
  uid_t uid = 0;
  gid_t gid = 0;
};

// The user in the system's user database, or (under a test root) in the
// root's own /etc/passwd.
bool LookUp(const std::string& name, Ids& ids) {
  if (PlatformRoot().empty()) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || !found) return false;
    ids = {found->pw_uid, found->pw_gid};
    return true;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(PlatformPath("/etc/passwd").c_str(), "re"), &std::fclose);
  if (!file) return false;
  while (struct passwd* entry = fgetpwent(file.get())) {
    if (name == entry->pw_name) {
      ids = {entry->pw_uid, entry->pw_gid};
      return true;
    }
  }
  return false;
}

BOOL Hand(int fd, const Ids& ids, mode_t keep) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return Fail(ErrorFromErrno(errno));
  if (fchown(fd, ids.uid, ids.gid) != 0 || fchmod(fd, st.st_mode & keep) != 0) return Fail(ErrorFromErrno(errno));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

namespace detail {

bool EnsureServiceAccount(const std::string& name, const std::string& description) {
  Ids ids;
  if (LookUp(name, ids)) return true;
  constexpr auto kLimit = std::chrono::seconds(60);
  // The entry a sysusers.d file would hold: a system user with a group of
  // its name, no home folder and no login shell.
  const std::string entry = "u " + name + " - \"" + description + "\" /nonexistent";
  std::vector<std::string> sysusers = {"systemd-sysusers", "--inline", entry};
  if (!PlatformRoot().empty()) sysusers.insert(sysusers.begin() + 1, "--root=" + PlatformRoot());
  if (!RunProgram(sysusers, kLimit) && PlatformRoot().empty()) {
    RunProgram({"adduser", "--system", "--group", "--quiet", "--home", "/nonexistent", "--no-create-home", "--gecos",
                description, name},
               kLimit);
  }
  return LookUp(name, ids);
}

}  // namespace detail

std::string ServiceAccountName(const std::string& serviceName) {
  std::string name = "_";
  for (char c : serviceName) {
    char lower = detail::LowerAscii(c);
    bool ok = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '_' || lower == '-';
    name += ok ? lower : '_';
  }
  return name.substr(0, 31);  // what useradd and utmp take
}

BOOL GrantServiceFolder(const std::string& serviceName, const std::string& folder) {
  Ids ids;
  if (!LookUp(ServiceAccountName(serviceName), ids)) return Fail(ERROR_INVALID_SERVICE_ACCOUNT);
  if (IsLink(folder)) return TRUE_;
  if (mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST) return Fail(ErrorFromErrno(errno));
  detail::UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return errno == ELOOP ? TRUE_ : Fail(ErrorFromErrno(errno));
  return Hand(fd.Get(), ids, 07777 & ~(S_IWGRP | S_IWOTH));
}

BOOL GrantServiceFile(const std::string& serviceName, const std::string& path) {
  Ids ids;
  if (!LookUp(ServiceAccountName(serviceName), ids)) return Fail(ERROR_INVALID_SERVICE_ACCOUNT);
  detail::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return errno == ENOENT || errno == ELOOP ? TRUE_ : Fail(ErrorFromErrno(errno));
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return Fail(ErrorFromErrno(errno));
  if (!S_ISREG(st.st_mode)) return TRUE_;
  return Hand(fd.Get(), ids, S_IRWXU | S_IRGRP | S_IXGRP);
}

std::string ProcessAccountName() {
  const uid_t uid = geteuid();
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::string FolderWriteProblem(const std::string& folder) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return "";
  return std::strerror(errno);
}

}  // namespace win
