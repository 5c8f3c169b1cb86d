// Files that must survive a crash: an append-only file held open under an
// exclusive lock, made durable on request, moved into place or copied by
// the system without passing through the process.
// Failing calls return FALSE and set the last error to a Windows number;
// ErrnoText() gives the system's own reason for the last failure.
//
// The folders these files live in may be writable by others, so every file
// opened, created, cut back or removed here is reached without following a
// link (a symbolic link, a junction, any reparse point) and must be a
// regular file of this process's own user with no second name; anything
// else at the name is refused with 5 (access denied), never waited for and
// never written through, and ErrnoText() says what stands there (see
// ForeignEntry). Files made here take the access rules of their folder.
// POSIX: they are 0640 whatever the umask.
// One thread at a time per object; the free functions are safe from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native_handle.h"
#include "platform/types.h"

namespace win {

constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;

// An append-only file, opened (or created) with an exclusive lock that
// another process cannot share. Owns its handle and the lock; both end with
// the object.
class LockedAppendFile {
 public:
  LockedAppendFile() = default;

  // Opens or creates `path` and locks it without waiting. FALSE with
  // ERROR_SHARING_VIOLATION when another process holds the lock. An
  // existing file loses any permission beyond 0640.
  BOOL Open(const std::string& path);
  bool IsOpen() const { return file_.Valid(); }
  void Close();

  // Bytes in the file; 0 when it cannot be told.
  std::uint64_t Size() const;
  // Writes all bytes at the end. On failure the file is cut back to its
  // size before the call, so no part of the bytes stays behind.
  BOOL Append(std::string_view bytes);
  BOOL Truncate(std::uint64_t size);
  // Makes the file's data durable (SyncData), or its data and its metadata
  // (Sync), as FlushFileBuffers does.
  BOOL SyncData();
  BOOL Sync();
  // Reads up to `bytes` from `offset`; *read is 0 at the end.
  BOOL ReadAt(std::uint64_t offset, void* data, std::size_t bytes, std::size_t* read) const;
  // True while `path` still names this very file (it was neither removed
  // nor replaced).
  bool IsAt(const std::string& path) const;
  // Copies the first `bytes` bytes of this file, then `tail`, to the end of
  // `target` (created when missing), in the system where it can, then makes
  // the target durable. A read-only or directory target is refused with 5.
  // On failure the target is cut back to what it held (a file made by the
  // call is removed), so a retry writes nothing twice.
  BOOL CopyTo(const std::string& target, std::uint64_t bytes, std::string_view tail) const;

 private:
  NativeHandle file_;
};

// Writes `bytes` to the end of `target` (created when missing) and makes it
// durable; on failure the target is cut back as CopyTo does.
BOOL AppendToFile(const std::string& target, std::string_view bytes);

// Renames `from` to `to` only when `to` does not exist: FALSE with
// ERROR_FILE_EXISTS when it does, ERROR_NOT_SAME_DEVICE when the two lie on
// different file systems.
BOOL MoveFileNoReplace(const std::string& from, const std::string& to);

// What stands at `path` that no call here writes into, cuts back, renames
// onto or removes: "" when nothing is there or when it is a regular file of
// this process's own user with no other name; otherwise the reason, worded
// to follow the path in an entry ("is a symbolic link", "is a FIFO", "is a
// folder", "is a device or socket", "belongs to another user", "has another
// hard link"). Looks at the entry itself: follows no link, opens nothing
// that could block.
std::string ForeignEntry(const std::string& path);

// The folder part of a path: "a/b/c.buf" -> "a/b", "c.buf" -> ".", "/c" -> "/".
std::string FolderOf(const std::string& path);

// Makes the entries of a folder (creations, renames) durable.
BOOL FlushFolder(const std::string& folder);

// Replaces the file at `path` with `text` through a temporary file and a
// rename, and makes both durable: after a crash the path holds the old
// text or the new one.
BOOL ReplaceFileDurably(const std::string& path, std::string_view text);

// Removes the file at `path` (a missing file is no failure) and makes the
// removal durable.
BOOL RemoveFileDurably(const std::string& path);

// Cuts the file at `path` back to its first `size` bytes and makes that
// durable; a file cut back to nothing is removed.
BOOL CutFileBack(const std::string& path, std::uint64_t size);

// The system's text for the error behind the last failing call of this
// file on this thread ("No space left on device").
std::string ErrnoText();

}  // namespace win
