#include "platform/durable_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/error.h"
#include "platform/posix/detail/unique_fd.h"

namespace win {
namespace {

using detail::UniqueFd;

thread_local int tLastErrno = 0;
// What stood at a name that was refused; the text ErrnoText() gives then.
thread_local const char* tForeign = nullptr;

// The mode of every file made here, whatever the umask.
constexpr mode_t kFileMode = 0640;

BOOL Fail(int err) {
  tLastErrno = err;
  tForeign = nullptr;
  SetLastError(err == EEXIST ? ERROR_FILE_EXISTS : err == EXDEV ? ERROR_NOT_SAME_DEVICE : ErrorFromErrno(err));
  return FALSE_;
}

BOOL FailWith(DWORD code, int err) {
  tLastErrno = err;
  tForeign = nullptr;
  SetLastError(code);
  return FALSE_;
}

// Refuses a name that something other than an own regular file holds.
BOOL FailForeign(const char* reason) {
  FailWith(ERROR_ACCESS_DENIED, EACCES);
  tForeign = reason;
  return FALSE_;
}

// Why a file with these facts is not one of this process's own regular
// files; nullptr when it is.
const char* ForeignReason(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (S_ISDIR(st.st_mode)) return "is a folder";
  if (S_ISFIFO(st.st_mode)) return "is a FIFO";
  if (!S_ISREG(st.st_mode)) return "is a device or socket";
  if (st.st_uid != ::geteuid()) return "belongs to another user";
  if (st.st_nlink > 1) return "has another hard link";
  return nullptr;
}

// The reason of an open that failed on `path` when something foreign stands
// there (a link refused by O_NOFOLLOW, a FIFO without a reader, a folder);
// else the open's own error.
BOOL FailOpen(int err, const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (const char* reason = ForeignReason(st)) return FailForeign(reason);
  }
  return Fail(err);
}

// Opens the entry at `path` only when it is an own regular file: the last
// name is not followed (O_NOFOLLOW), a FIFO never makes the open wait
// (O_NONBLOCK), and the opened file is looked at before anything is done
// with it. With `create`, a missing file is made with kFileMode exactly and
// *created says so. -1 with the failure set.
int OpenOwnFile(const std::string& path, int flags, bool create, bool* created = nullptr) {
  if (created) *created = false;
  constexpr int kSafe = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = ::open(path.c_str(), flags | kSafe);
    bool made = false;
    if (fd < 0 && errno == ENOENT && create) {
      fd = ::open(path.c_str(), flags | kSafe | O_CREAT | O_EXCL, kFileMode);
      if (fd < 0 && errno == EEXIST) continue;  // made by someone else meanwhile: look again
      made = fd >= 0;
    }
    if (fd < 0 && errno == EINTR) continue;
    if (fd < 0) {
      FailOpen(errno, path);
      return -1;
    }
    UniqueFd file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      Fail(errno);
      return -1;
    }
    if (const char* reason = ForeignReason(st)) {
      FailForeign(reason);
      return -1;
    }
    // The umask only takes bits away; the mode is set to what it must be.
    if (made && ::fchmod(fd, kFileMode) != 0) {
      Fail(errno);
      return -1;
    }
    if (created) *created = made;
    return file.Release();
  }
  Fail(EEXIST);
  return -1;
}

bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Copies `bytes` from `in` (offset 0) to `out` at `outOffset`: copy_file_range
// (clones or copies inside the kernel), else sendfile, else read and write.
bool KernelCopy(int in, int out, std::uint64_t bytes, off_t outOffset) {
  off_t inOffset = 0;
  std::uint64_t left = bytes;
  bool rangeWorks = true;
  while (left > 0 && rangeWorks) {
    const std::size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<std::size_t>(left);
    ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset, chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      rangeWorks = false;
      break;
    }
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;  // the source is shorter than it said
      return false;
    }
    left -= static_cast<std::uint64_t>(n);
  }
  if (left == 0) return true;
  // sendfile writes at the target's own position.
  if (::lseek(out, outOffset, SEEK_SET) < 0) return false;
  while (left > 0) {
    const std::size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<std::size_t>(left);
    ssize_t n = ::sendfile(out, in, &inOffset, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EINVAL || errno == ENOSYS)) break;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    left -= static_cast<std::uint64_t>(n);
    outOffset += n;
  }
  if (left == 0) return true;
  // Neither kernel copy works here: read and write through a block, taken
  // only now and left unfilled.
  constexpr std::size_t kBlock = 1 << 20;
  const auto block = std::make_unique_for_overwrite<char[]>(kBlock);
  while (left > 0) {
    const std::size_t chunk = left > kBlock ? kBlock : static_cast<std::size_t>(left);
    ssize_t n = ::pread(in, block.get(), chunk, inOffset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    if (!WriteAllAt(out, block.get(), static_cast<std::size_t>(n), outOffset)) return false;
    inOffset += n;
    outOffset += n;
    left -= static_cast<std::uint64_t>(n);
  }
  return true;
}

// Appends `bytes` of `in` and then `tail` to `target`; see CopyTo.
BOOL AppendTo(int in, std::uint64_t bytes, std::string_view tail, const std::string& target) {
  bool created = false;
  UniqueFd out(OpenOwnFile(target, O_WRONLY, true, &created));
  if (!out) return FALSE_;
  struct stat outStat {};
  if (::fstat(out.Get(), &outStat) != 0) return Fail(errno);
  // A read-only log file is not written, not even by root.
  if ((outStat.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return FailWith(ERROR_ACCESS_DENIED, EACCES);
  const off_t end = outStat.st_size;
  bool ok = (bytes == 0 || KernelCopy(in, out.Get(), bytes, end)) &&
            WriteAllAt(out.Get(), tail.data(), tail.size(), end + static_cast<off_t>(bytes)) && ::fsync(out.Get()) == 0;
  int err = errno;
  if (!ok) {
    if (created) {
      ::unlink(target.c_str());
    } else if (::ftruncate(out.Get(), end) != 0) {
      // Nothing more can be done; the error reported is the copy's.
    }
    return Fail(err);
  }
  if (int closeErr = out.Close(); closeErr != 0) return Fail(closeErr);
  return TRUE_;
}

}  // namespace

BOOL LockedAppendFile::Open(const std::string& path) {
  Close();
  UniqueFd file(OpenOwnFile(path, O_RDWR | O_APPEND, true));
  if (!file) return FALSE_;
  // flock locks belong to the open file, so the lock goes with this handle
  // and ends with it (or with the process, however it ends).
  if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    return err == EWOULDBLOCK ? FailWith(ERROR_SHARING_VIOLATION, err) : Fail(err);
  }
  // A file left by an earlier version under a wide umask is brought down
  // to the buffer's own mode; a tighter one stays as it is.
  struct stat st {};
  if (::fstat(file.Get(), &st) == 0 && (st.st_mode & 07777 & ~kFileMode) != 0 &&
      ::fchmod(file.Get(), st.st_mode & kFileMode) != 0) {
    return Fail(errno);
  }
  file_.Reset(file.Release());
  return TRUE_;
}

void LockedAppendFile::Close() { file_.Reset(); }

std::uint64_t LockedAppendFile::Size() const {
  struct stat st {};
  if (!file_ || ::fstat(static_cast<int>(file_.Get()), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

BOOL LockedAppendFile::Append(std::string_view bytes) {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  const std::uint64_t before = Size();
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(static_cast<int>(file_.Get()), data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n == 0 ? EIO : errno;
      // A short write (disk full) must not leave half a block behind.
      if (::ftruncate(static_cast<int>(file_.Get()), static_cast<off_t>(before)) != 0) {
      }
      return Fail(err);
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return TRUE_;
}

BOOL LockedAppendFile::Truncate(std::uint64_t size) {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  return ::ftruncate(static_cast<int>(file_.Get()), static_cast<off_t>(size)) == 0 ? TRUE_ : Fail(errno);
}

BOOL LockedAppendFile::SyncData() {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  return ::fdatasync(static_cast<int>(file_.Get())) == 0 ? TRUE_ : Fail(errno);
}

BOOL LockedAppendFile::Sync() {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  return ::fsync(static_cast<int>(file_.Get())) == 0 ? TRUE_ : Fail(errno);
}

BOOL LockedAppendFile::ReadAt(std::uint64_t offset, void* data, std::size_t bytes, std::size_t* read) const {
  *read = 0;
  if (!file_) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  for (;;) {
    ssize_t n = ::pread(static_cast<int>(file_.Get()), data, bytes, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    *read = static_cast<std::size_t>(n);
    return TRUE_;
  }
}

bool LockedAppendFile::IsAt(const std::string& path) const {
  struct stat mine {};
  struct stat named {};
  if (!file_ || ::fstat(static_cast<int>(file_.Get()), &mine) != 0 || mine.st_nlink == 0) return false;
  if (::lstat(path.c_str(), &named) != 0) return false;
  return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

BOOL LockedAppendFile::CopyTo(const std::string& target, std::uint64_t bytes, std::string_view tail) const {
  if (!file_ && bytes > 0) return FailWith(ERROR_INVALID_HANDLE, EBADF);
  return AppendTo(static_cast<int>(file_.Get()), bytes, tail, target);
}

BOOL AppendToFile(const std::string& target, std::string_view bytes) { return AppendTo(-1, 0, bytes, target); }

BOOL MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE_;
  if (errno != EINVAL && errno != ENOSYS) return Fail(errno);
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing
  // name just the same, then the old name goes.
  if (::link(from.c_str(), to.c_str()) != 0) return Fail(errno);
  if (::unlink(from.c_str()) != 0) {
    int err = errno;
    ::unlink(to.c_str());
    return Fail(err);
  }
  return TRUE_;
}

std::string ForeignEntry(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "";
  const char* reason = ForeignReason(st);
  return reason ? reason : "";
}

BOOL FlushFolder(const std::string& folder) {
  UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return Fail(errno);
  int rc = ::fsync(fd.Get());
  int err = errno;
  fd.Reset();
  // Some file systems cannot sync a folder; their entries are as durable as
  // they get.
  if (rc != 0 && err != EINVAL && err != EROFS) return Fail(err);
  return TRUE_;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

BOOL ReplaceFileDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".new";
  // One left by a crash goes first: the new text is written into a file
  // made by this call only.
  if (!RemoveFileDurably(temporary)) return FALSE_;
  UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode));
  if (!out) return FailOpen(errno, temporary);
  const bool written = ::fchmod(out.Get(), kFileMode) == 0 && WriteAllAt(out.Get(), text.data(), text.size(), 0) &&
                       ::fdatasync(out.Get()) == 0;
  int err = errno;
  if (written) err = out.Close();
  // rename replaces the name itself, whatever it held; a folder refuses it.
  if (!written || err != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    if (err == 0) err = errno;
    ::unlink(temporary.c_str());
    return Fail(err);
  }
  return FlushFolder(FolderOf(path));
}

BOOL RemoveFileDurably(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? TRUE_ : Fail(errno);
  if (const char* reason = ForeignReason(st)) return FailForeign(reason);
  if (::unlink(path.c_str()) != 0) return errno == ENOENT ? TRUE_ : Fail(errno);
  return FlushFolder(FolderOf(path));
}

BOOL CutFileBack(const std::string& path, std::uint64_t size) {
  if (size == 0) return RemoveFileDurably(path);
  UniqueFd fd(OpenOwnFile(path, O_WRONLY, false));
  if (!fd) return FALSE_;
  if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0 || ::fsync(fd.Get()) != 0) return Fail(errno);
  return TRUE_;
}

std::string ErrnoText() { return tForeign ? tForeign : std::strerror(tLastErrno); }

}  // namespace win
