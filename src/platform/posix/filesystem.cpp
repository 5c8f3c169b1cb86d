// File-system operations on POSIX with Windows semantics: attribute bits,
// Windows error numbers, DOS date-time, and a read-only emulation by the
// permission bits that holds for root as well.
#include "platform/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/calendar.h"
#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/posix/detail/path_error.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/detail/write_all.h"

namespace win {

// The object behind a HANDLE of this file: an open directory stream or an
// open file descriptor. Owns it and closes it when destroyed.
struct HandleObject {
  enum class Kind { Find, File };

  explicit HandleObject(DIR* d) : kind(Kind::Find), dir(d) {}
  explicit HandleObject(int f) : kind(Kind::File), fd(f) {}
  ~HandleObject() { Close(); }
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;

  // 0 or the errno of a failing close.
  int Close() {
    int err = 0;
    if (dir) {
      if (closedir(dir) != 0) err = errno;
      dir = nullptr;
    }
    if (int fdErr = fd.Close(); fdErr != 0) err = fdErr;
    return err;
  }

  const Kind kind;
  DIR* dir = nullptr;
  detail::UniqueFd fd;
  std::mutex lock;  // one directory read at a time per stream
};

namespace {

// Every live handle; a value that is not in it is refused with
// ERROR_INVALID_HANDLE.
detail::HandleTable<HANDLE, HandleObject>& Handles() {
  static detail::HandleTable<HANDLE, HandleObject> table;
  return table;
}

using detail::ErrorForPath;
using detail::Fail;

std::string ParentOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of(PathDelim);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::string::size_type end = path.find_last_not_of(PathDelim);
  if (end == std::string::npos) return "";
  std::string::size_type slash = path.find_last_of(PathDelim, end);
  std::string::size_type start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end - start + 1);
}

bool IsDirectoryPath(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

DWORD AttributesOf(const struct stat& st, const std::string& name) {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  else if (S_ISREG(st.st_mode)) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  else attributes |= FILE_ATTRIBUTE_SYSTEM;  // devices, pipes, sockets
  if (IsReadOnlyMode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes;
}

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;
constexpr std::int64_t kTicksPerSecond = 10000000LL;

FILETIME FileTimeFromTicks(std::uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

std::uint64_t TicksOf(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FileTimeFromTimespec(const struct timespec& ts) {
  std::int64_t seconds = static_cast<std::int64_t>(ts.tv_sec) + kEpochDifference;
  if (seconds < 0) return FileTimeFromTicks(0);  // before 1601: the earliest FILETIME
  return FileTimeFromTicks(static_cast<std::uint64_t>(seconds) * kTicksPerSecond +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 100);
}

void FillFindData(const struct stat& st, const std::string& name, WIN32_FIND_DATA* data) {
  data->dwFileAttributes = AttributesOf(st, name);
  data->ftCreationTime = FileTimeFromTimespec(st.st_ctim);
  data->ftLastAccessTime = FileTimeFromTimespec(st.st_atim);
  data->ftLastWriteTime = FileTimeFromTimespec(st.st_mtim);
  std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  data->cFileName = name;
}

// One directory entry into `data`. A symbolic link is described by the
// link itself, as Windows describes a symbolic link or junction: the
// reparse point bit, and the directory bit when it leads to a folder, so
// that a search can tell it from a real folder and stay out of it.
void DescribeEntry(DIR* dir, const struct dirent* entry, WIN32_FIND_DATA* data) {
  std::string name = entry->d_name;
  struct stat st {};
  int dfd = dirfd(dir);
  if (fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    FillFindData(st, name, data);
    if (S_ISLNK(st.st_mode)) {
      struct stat target {};
      const bool folder = fstatat(dfd, entry->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
      data->dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT |
                               (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                               (data->dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    }
    return;
  }
  // Gone between listing and lookup: what the listing itself knows.
  *data = WIN32_FIND_DATA{};
  data->dwFileAttributes = entry->d_type == DT_DIR   ? FILE_ATTRIBUTE_DIRECTORY
                           : entry->d_type == DT_LNK ? FILE_ATTRIBUTE_REPARSE_POINT
                                                     : FILE_ATTRIBUTE_ARCHIVE;
  if (name[0] == '.' && name != "." && name != "..") data->dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
  data->cFileName = name;
}

// The next entry of the stream: TRUE with `data` filled, or FALSE with 18 at
// the end or the error of a failing read.
BOOL ReadNextEntry(HandleObject& find, WIN32_FIND_DATA* data) {
  std::lock_guard<std::mutex> guard(find.lock);
  if (!find.dir) return Fail(ERROR_INVALID_HANDLE);
  errno = 0;
  const struct dirent* entry = readdir(find.dir);
  if (!entry) return Fail(errno == 0 ? ERROR_NO_MORE_FILES : ErrorFromErrno(errno));
  DescribeEntry(find.dir, entry, data);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace

DWORD detail::ErrorForPath(int err, const std::string& path) {
  if (err == ENOENT) return IsDirectoryPath(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  return ErrorFromErrno(err);
}

DWORD GetFileAttributes(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    SetLastError(ErrorForPath(errno, path));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(st, NameOf(path));
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL CreateDirectory(const std::string& path, FolderAccess access) {
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  const mode_t mode = access == FolderAccess::Everyone ? 0755 : 0750;
  if (mkdir(path.c_str(), mode) != 0) {
    int err = errno;
    return Fail(err == EEXIST ? ERROR_ALREADY_EXISTS : err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorForPath(err, path));
  }
  // The umask only takes bits away: the folder gets its mode exactly.
  detail::UniqueFd made(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!made || fchmod(made.Get(), mode) != 0) return Fail(ErrorFromErrno(errno));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

std::string CreateProblem(const std::string& path) {
  if (path.empty()) return std::strerror(ENOENT);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? "" : std::strerror(ENOTDIR);
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  std::string::size_type slash = parent.find_last_of('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  if (stat(parent.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
  if (access(parent.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return "";
}

BOOL DeleteFile(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return Fail(ErrorForPath(errno, path));
  // Windows refuses folders and read-only files for every user; unlink(2)
  // would only look at the folder's permissions (and not at all for root).
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (unlink(path.c_str()) != 0) return Fail(ErrorForPath(errno, path));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL DeleteFileBelow(const std::string& folder, const std::string& relative) {
  detail::UniqueFd at(open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!at) return Fail(ErrorForPath(errno, folder));
  std::string::size_type start = 0;
  for (std::string::size_type slash; (slash = relative.find(PathDelim, start)) != std::string::npos;
       start = slash + 1) {
    const std::string name = relative.substr(start, slash - start);
    if (name.empty() || name == "." || name == "..") return Fail(ERROR_PATH_NOT_FOUND);
    // O_NOFOLLOW: a folder on the way that has become a link is not entered.
    detail::UniqueFd next(openat(at.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!next)
      return Fail(errno == ELOOP || errno == ENOTDIR || errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    at = std::move(next);
  }
  const std::string name = relative.substr(start);
  if (name.empty() || name == "." || name == "..") return Fail(ERROR_ACCESS_DENIED);
  struct stat st {};
  if (fstatat(at.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
  // Only a regular file goes, and not a read-only one (as DeleteFile).
  if (!S_ISREG(st.st_mode) || IsReadOnlyMode(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (unlinkat(at.Get(), name.c_str(), 0) != 0)
    return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

HANDLE FindFirstFile(const std::string& folder, WIN32_FIND_DATA* data) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) {
    int err = errno;
    SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<HandleObject>(dir);
  if (!ReadNextEntry(*object, data)) {
    if (GetLastError() == ERROR_NO_MORE_FILES) SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;  // the stream closes with `object`
  }
  return Handles().Add(std::move(object));
}

BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data) {
  std::shared_ptr<HandleObject> object = Handles().Find(find);
  if (!object || object->kind != HandleObject::Kind::Find) return Fail(ERROR_INVALID_HANDLE);
  return ReadNextEntry(*object, data);
}

BOOL FindClose(HANDLE find) {
  std::shared_ptr<HandleObject> object = Handles().Find(find);
  if (!object || object->kind != HandleObject::Kind::Find) return Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(find);
}

BOOL GetFileLastWriteTime(const std::string& path, FILETIME* lastWrite) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(ErrorForPath(errno, path));
  *lastWrite = FileTimeFromTimespec(st.st_mtim);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL SetFileLastWriteTime(const std::string& path, const FILETIME& lastWrite) {
  std::uint64_t ticks = TicksOf(lastWrite);
  struct timespec times[2]{};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference);
  times[1].tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return Fail(ErrorForPath(errno, path));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) return Fail(ERROR_INVALID_PARAMETER);
  std::uint64_t ticks = TicksOf(*utc);
  // The offset in force at that moment (summer or winter time of its own
  // date), so that a file's local day is the day it was written.
  time_t seconds = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference);
  struct tm tm {};
  if (!localtime_r(&seconds, &tm)) return Fail(ERROR_INVALID_PARAMETER);
  std::int64_t shifted = static_cast<std::int64_t>(ticks) + static_cast<std::int64_t>(tm.tm_gmtoff) * kTicksPerSecond;
  if (shifted < 0) return Fail(ERROR_INVALID_PARAMETER);
  *local = FileTimeFromTicks(static_cast<std::uint64_t>(shifted));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime) {
  if (!ft || !fatDate || !fatTime) return Fail(ERROR_INVALID_PARAMETER);
  std::uint64_t totalSeconds = TicksOf(*ft) / kTicksPerSecond;
  std::int64_t days = static_cast<std::int64_t>(totalSeconds / 86400) - kEpochDifference / 86400;
  unsigned secondOfDay = static_cast<unsigned>(totalSeconds % 86400);
  const CivilDate date = CivilFromDays(days);
  if (date.year < 1980 || date.year > 2107) return Fail(ERROR_INVALID_PARAMETER);
  *fatDate = static_cast<WORD>(((date.year - 1980) << 9) | (date.month << 5) | date.day);
  *fatTime =
      static_cast<WORD>(((secondOfDay / 3600) << 11) | (((secondOfDay / 60) % 60) << 5) | ((secondOfDay % 60) / 2));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

HANDLE CreateFileForWrite(const std::string& path, DWORD creationDisposition, DWORD flags) {
  // O_NONBLOCK: a FIFO at the path must not hold the call; O_TRUNC waits
  // until the file is known to be a regular one.
  int openFlags = O_WRONLY | O_CLOEXEC | O_CREAT | O_NONBLOCK;
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0) openFlags |= O_NOFOLLOW;
  switch (creationDisposition) {
    case CREATE_NEW: openFlags |= O_EXCL; break;
    case CREATE_ALWAYS: break;
    case OPEN_ALWAYS: openFlags |= O_APPEND; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  bool existed = lstat(path.c_str(), &st) == 0;
  if (existed && S_ISLNK(st.st_mode) && (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0)
    existed = stat(path.c_str(), &st) == 0;
  if (existed) {
    if (creationDisposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    // A read-only file is not written, not even by root.
    if (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  int fd = -1;
  do {
    fd = open(path.c_str(), openFlags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    SetLastError(err == EEXIST                  ? ERROR_FILE_EXISTS
                 : err == ELOOP || err == ENXIO ? ERROR_ACCESS_DENIED
                                                : ErrorForPath(err, path));
    return INVALID_HANDLE_VALUE;
  }
  detail::UniqueFd file(fd);
  struct stat opened {};
  const bool strict = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
      (strict && (opened.st_uid != geteuid() || opened.st_nlink > 1))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if ((creationDisposition == CREATE_ALWAYS && ftruncate(fd, 0) != 0) || (!existed && fchmod(fd, 0644) != 0)) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = Handles().Add(std::make_shared<HandleObject>(file.Release()));
  // As Windows: success on an existing file leaves ERROR_ALREADY_EXISTS.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, DWORD* written) {
  if (written) *written = 0;
  std::shared_ptr<HandleObject> object = Handles().Find(file);
  if (!object || object->kind != HandleObject::Kind::File || !object->fd) return Fail(ERROR_INVALID_HANDLE);
  if (bytes > 0 && !data) return Fail(ERROR_INVALID_PARAMETER);
  std::size_t done = 0;
  const int err = detail::WriteAll(object->fd.Get(), data, bytes, &done);
  if (written) *written = static_cast<DWORD>(done);
  if (err != 0) return Fail(ErrorFromErrno(err));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object = Handles().Remove(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  int err = 0;
  {
    std::lock_guard<std::mutex> guard(object->lock);
    err = object->Close();
  }
  if (err != 0) return Fail(ErrorFromErrno(err));
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
