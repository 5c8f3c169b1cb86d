// Crash-safe files on Windows. The buffer file is opened for every kind of
// sharing, so that it can be renamed into a log file while it is open, and
// is held by an exclusive LockFileEx lock on one byte far past any data:
// a second instance cannot take it, while readers still see every byte.
// Durability is FlushFileBuffers; renames use MOVEFILE_WRITE_THROUGH.
// Every file is opened with FILE_FLAG_OPEN_REPARSE_POINT, so that a symbolic
// link or junction planted under its name is opened itself, seen and
// refused, never followed. Windows has no modes: a new file takes the access
// rules of its folder.
#include "platform/durable_file.h"

#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

// The locked byte: beyond any size a file here reaches.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

thread_local DWORD tLastFailure = 0;
// What stood at a name that was refused; the text ErrnoText() gives then.
thread_local const char* tForeign = nullptr;

BOOL FailWith(DWORD code) {
  if (code == ERROR_ALREADY_EXISTS) code = ERROR_FILE_EXISTS;
  if (code == ERROR_LOCK_VIOLATION) code = ERROR_SHARING_VIOLATION;
  tLastFailure = code;
  tForeign = nullptr;
  SetLastError(code);
  return FALSE_;
}

// Refuses a name that something other than an own regular file holds.
BOOL FailForeign(const char* reason) {
  FailWith(ERROR_ACCESS_DENIED);
  tForeign = reason;
  return FALSE_;
}

// Why the file open at `file` is not an ordinary file with one name;
// nullptr when it is.
const char* ForeignReason(::HANDLE file) {
  if (::GetFileType(file) != FILE_TYPE_DISK) return "is a device or pipe";
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return nullptr;  // nothing to tell it by
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "is a symbolic link or junction";
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "is a folder";
  if (info.nNumberOfLinks > 1) return "has another hard link";
  return nullptr;
}

// Why the entry at `path` is not an ordinary file, looked at without
// following it; nullptr when it is one or nothing is there.
const char* ForeignEntryReason(const std::string& path) {
  const ::DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "is a symbolic link or junction";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "is a folder";
  ::HANDLE file =
      ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == detail::kSystemInvalidHandle) return nullptr;
  const char* reason = ForeignReason(file);
  ::CloseHandle(file);
  return reason;
}

// Fails with the error the last system call left.
BOOL FailLast() { return FailWith(GetLastError()); }

// Opens `path` itself (FILE_FLAG_OPEN_REPARSE_POINT), only when it is an
// ordinary file: invalid with the failure set otherwise.
::HANDLE OpenOwnFile(const std::string& path, ::DWORD access, ::DWORD share, ::DWORD disposition) {
  ::HANDLE file = ::CreateFileA(path.c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == detail::kSystemInvalidHandle) {
    const ::DWORD error = ::GetLastError();
    if (const char* reason = ForeignEntryReason(path)) FailForeign(reason);
    else FailWith(error);
    return detail::kSystemInvalidHandle;
  }
  if (const char* reason = ForeignReason(file)) {
    ::CloseHandle(file);
    FailForeign(reason);
    return detail::kSystemInvalidHandle;
  }
  return file;
}

::HANDLE System(const NativeHandle& handle) { return reinterpret_cast<::HANDLE>(handle.Get()); }

// Owns a system file handle for the length of one call.
class ScopedFile {
 public:
  explicit ScopedFile(::HANDLE handle) : handle_(handle) {}
  ~ScopedFile() { Close(); }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  bool Valid() const { return handle_ != detail::kSystemInvalidHandle && handle_ != nullptr; }
  ::HANDLE Get() const { return handle_; }
  void Reset(::HANDLE handle) {
    Close();
    handle_ = handle;
  }
  ::HANDLE Release() {
    ::HANDLE handle = handle_;
    handle_ = detail::kSystemInvalidHandle;
    return handle;
  }
  bool Close() {
    if (!Valid()) return true;
    const bool ok = ::CloseHandle(handle_) != 0;
    handle_ = detail::kSystemInvalidHandle;
    return ok;
  }

 private:
  ::HANDLE handle_;
};

bool SizeOf(::HANDLE file, std::uint64_t& size) {
  LARGE_INTEGER value{};
  if (!::GetFileSizeEx(file, &value)) return false;
  size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool SetSize(::HANDLE file, std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

bool WriteAllAt(::HANDLE file, const char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ::DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<::DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<::DWORD>(offset);
    at.OffsetHigh = static_cast<::DWORD>(offset >> 32);
    ::DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, &at)) return false;
    if (written == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += written;
    size -= written;
    offset += written;
  }
  return true;
}

bool ReadAllAt(::HANDLE file, char* data, std::size_t size, std::uint64_t offset, std::size_t* read) {
  *read = 0;
  while (size > 0) {
    const ::DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<::DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<::DWORD>(offset);
    at.OffsetHigh = static_cast<::DWORD>(offset >> 32);
    ::DWORD got = 0;
    if (!::ReadFile(file, data, chunk, &got, &at)) return ::GetLastError() == ERROR_HANDLE_EOF;
    if (got == 0) return true;
    *read += got;
    data += got;
    size -= got;
    offset += got;
  }
  return true;
}

// Appends `bytes` of `in` (from offset 0) and then `tail` to `target`; see
// CopyTo.
BOOL AppendTo(::HANDLE in, std::uint64_t bytes, std::string_view tail, const std::string& target) {
  if (const char* reason = ForeignEntryReason(target)) return FailForeign(reason);
  const DWORD attributes = ::GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return FailWith(ERROR_ACCESS_DENIED);
  }
  bool created = false;
  ScopedFile out(OpenOwnFile(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
  if (!out.Valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // CREATE_NEW refuses any entry at the name, a link included.
    out.Reset(OpenOwnFile(target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    created = out.Valid();
  }
  if (!out.Valid()) return FALSE_;
  std::uint64_t end = 0;
  if (!SizeOf(out.Get(), end)) return FailLast();

  bool ok = true;
  std::uint64_t copied = 0;
  if (bytes > 0) {
    constexpr std::size_t kBlock = 1 << 20;
    const auto block = std::make_unique_for_overwrite<char[]>(kBlock);
    while (ok && copied < bytes) {
      const std::size_t want = bytes - copied > kBlock ? kBlock : static_cast<std::size_t>(bytes - copied);
      std::size_t got = 0;
      ok = ReadAllAt(in, block.get(), want, copied, &got);
      if (ok && got == 0) {
        ::SetLastError(ERROR_HANDLE_EOF);  // the source is shorter than it said
        ok = false;
      }
      ok = ok && WriteAllAt(out.Get(), block.get(), got, end + copied);
      copied += got;
    }
  }
  ok = ok && WriteAllAt(out.Get(), tail.data(), tail.size(), end + bytes) && ::FlushFileBuffers(out.Get());
  if (!ok) {
    const DWORD error = GetLastError();
    if (created) {
      out.Close();
      ::DeleteFileA(target.c_str());
    } else {
      SetSize(out.Get(), end);
    }
    return FailWith(error);
  }
  if (!out.Close()) return FailLast();
  return TRUE_;
}

}  // namespace

BOOL LockedAppendFile::Open(const std::string& path) {
  Close();
  ScopedFile file(OpenOwnFile(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS));
  if (!file.Valid()) return FALSE_;
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  if (!::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return FailLast();
  // The lock ends with the handle, however the process ends.
  file_.Reset(reinterpret_cast<std::intptr_t>(file.Release()));
  return TRUE_;
}

void LockedAppendFile::Close() { file_.Reset(); }

std::uint64_t LockedAppendFile::Size() const {
  std::uint64_t size = 0;
  if (!file_ || !SizeOf(System(file_), size)) return 0;
  return size;
}

BOOL LockedAppendFile::Append(std::string_view bytes) {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE);
  std::uint64_t before = 0;
  if (!SizeOf(System(file_), before)) return FailLast();
  if (!WriteAllAt(System(file_), bytes.data(), bytes.size(), before)) {
    const DWORD error = GetLastError();
    // A short write (disk full) must not leave half a block behind.
    SetSize(System(file_), before);
    return FailWith(error);
  }
  return TRUE_;
}

BOOL LockedAppendFile::Truncate(std::uint64_t size) {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE);
  return SetSize(System(file_), size) ? TRUE_ : FailLast();
}

BOOL LockedAppendFile::SyncData() { return Sync(); }

BOOL LockedAppendFile::Sync() {
  if (!file_) return FailWith(ERROR_INVALID_HANDLE);
  return ::FlushFileBuffers(System(file_)) ? TRUE_ : FailLast();
}

BOOL LockedAppendFile::ReadAt(std::uint64_t offset, void* data, std::size_t bytes, std::size_t* read) const {
  *read = 0;
  if (!file_) return FailWith(ERROR_INVALID_HANDLE);
  return ReadAllAt(System(file_), static_cast<char*>(data), bytes, offset, read) ? TRUE_ : FailLast();
}

bool LockedAppendFile::IsAt(const std::string& path) const {
  if (!file_) return false;
  BY_HANDLE_FILE_INFORMATION mine{};
  if (!::GetFileInformationByHandle(System(file_), &mine) || mine.nNumberOfLinks == 0) return false;
  ScopedFile named(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION other{};
  if (!named.Valid() || !::GetFileInformationByHandle(named.Get(), &other)) return false;
  return mine.dwVolumeSerialNumber == other.dwVolumeSerialNumber && mine.nFileIndexHigh == other.nFileIndexHigh &&
         mine.nFileIndexLow == other.nFileIndexLow;
}

BOOL LockedAppendFile::CopyTo(const std::string& target, std::uint64_t bytes, std::string_view tail) const {
  if (!file_ && bytes > 0) return FailWith(ERROR_INVALID_HANDLE);
  return AppendTo(file_ ? System(file_) : nullptr, bytes, tail, target);
}

BOOL AppendToFile(const std::string& target, std::string_view bytes) { return AppendTo(nullptr, 0, bytes, target); }

BOOL MoveFileNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target is refused, and
  // without MOVEFILE_COPY_ALLOWED another volume is.
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return FailLast();
  return TRUE_;
}

std::string ForeignEntry(const std::string& path) {
  const char* reason = ForeignEntryReason(path);
  return reason ? reason : "";
}

BOOL FlushFolder(const std::string& folder) {
  // NTFS journals its folder entries, and the renames here are written
  // through; flushing the folder is best effort where the file system
  // takes it.
  ScopedFile handle(::CreateFileA(folder.empty() ? "." : folder.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.Valid()) {
    if (::GetFileAttributesA(folder.empty() ? "." : folder.c_str()) == INVALID_FILE_ATTRIBUTES) return FailLast();
    return TRUE_;
  }
  ::FlushFileBuffers(handle.Get());
  return TRUE_;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) {
    // "C:name" lies in the current folder of drive C.
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
  }
  if (slash == 0) return path.substr(0, 1);
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\name"
  return path.substr(0, slash);
}

BOOL ReplaceFileDurably(const std::string& path, std::string_view text) {
  const std::string temporary = path + ".new";
  // One left by a crash goes first: the new text is written into a file
  // made by this call only.
  if (!RemoveFileDurably(temporary)) return FALSE_;
  ScopedFile out(OpenOwnFile(temporary, GENERIC_WRITE, 0, CREATE_NEW));
  if (!out.Valid()) return FALSE_;
  const bool written = WriteAllAt(out.Get(), text.data(), text.size(), 0) && ::FlushFileBuffers(out.Get());
  DWORD error = written ? 0 : GetLastError();
  if (written && !out.Close()) error = GetLastError();
  if (error == 0 && !::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error != 0) {
    out.Close();
    ::DeleteFileA(temporary.c_str());
    return FailWith(error);
  }
  return FlushFolder(FolderOf(path));
}

BOOL RemoveFileDurably(const std::string& path) {
  if (const char* reason = ForeignEntryReason(path)) return FailForeign(reason);
  if (!::DeleteFileA(path.c_str())) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TRUE_ : FailWith(error);
  }
  return FlushFolder(FolderOf(path));
}

BOOL CutFileBack(const std::string& path, std::uint64_t size) {
  if (size == 0) return RemoveFileDurably(path);
  ScopedFile file(
      OpenOwnFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
  if (!file.Valid()) return FALSE_;
  if (!SetSize(file.Get(), size) || !::FlushFileBuffers(file.Get())) return FailLast();
  return TRUE_;
}

std::string ErrnoText() { return tForeign ? tForeign : FormatSystemMessage(tLastFailure); }

}  // namespace win
