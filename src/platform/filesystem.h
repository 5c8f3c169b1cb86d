// The file-system operations the program uses, Windows-shaped. Paths are
// 8-bit texts with "/" as separator. Every failing call sets the last error
// to a Windows number (2, 3, 5, 183, ...). Regular files carry the archive
// bit, devices, pipes and sockets the system bit; "." and ".." are never
// hidden. GetFileAttributes follows symbolic links; an enumeration shows a
// link itself, as Windows shows a symbolic link or junction: the reparse
// point bit, with the directory bit when it leads to a folder.
// All functions are safe from any thread; a handle is used by one thread at
// a time. Closed or unknown handles are refused with ERROR_INVALID_HANDLE.
#pragma once

#include <string>

#include "platform/types.h"

namespace win {

struct HandleObject;
using HANDLE = HandleObject*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<UINT_PTR>(0));

// The separator the system's paths use between folder and name.
#if defined(_WIN32)
constexpr char PathDelim = '\\';
#else
constexpr char PathDelim = '/';
#endif

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;  // POSIX: no write permission bit
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;    // name starts with "."
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr DWORD FILE_ATTRIBUTE_VOLUME = 0x08;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;  // a symbolic link or junction
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// 100-nanosecond intervals since 1601-01-01.
struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};

struct WIN32_FIND_DATA {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  std::string cFileName;  // name only, no folder
};

// Attributes of a file or folder, INVALID_FILE_ATTRIBUTES when it is missing.
DWORD GetFileAttributes(const std::string& path);
bool DirectoryExists(const std::string& path);
// True for an existing entry that is not a directory.
bool FileExists(const std::string& path);

// Who may look into a folder the program makes: everyone, or its owner and
// group only. Windows: a new folder takes the access rules of its parent and
// this has no effect. POSIX: 0755 or 0750, whatever the umask.
enum class FolderAccess { Everyone, OwnerAndGroup };

// Creates one folder; its parent must exist (3 when it does not, 183 when
// the folder exists).
BOOL CreateDirectory(const std::string& path, FolderAccess access = FolderAccess::Everyone);

// Why a folder or file could not be made at `path`, in the system's words,
// found by looking at the path and its parent folder without
// changing anything: "No such file or directory" for a missing parent,
// "Read-only file system", "Permission denied", "Not a directory"...; ""
// when nothing in the way can be seen. Safe from any thread.
std::string CreateProblem(const std::string& path);
// Deletes a file. A read-only file is refused with 5 (access denied) for
// every user (POSIX: a file without a write permission bit, root included).
BOOL DeleteFile(const std::string& path);
// Deletes the file `relative` (names joined by the separator) below
// `folder`, reaching it without following a link or junction anywhere below
// `folder`, so that it never deletes outside: 3 when a folder on the way is
// missing or is a link, 5 for a link, folder, FIFO, device or read-only
// file at the end (nothing is deleted then).
BOOL DeleteFileBelow(const std::string& folder, const std::string& relative);

// Enumeration of `folder/*`: every entry, "." and ".." included, in the
// order the system returns them. INVALID_HANDLE_VALUE when the folder cannot
// be read. Close every handle with FindClose.
HANDLE FindFirstFile(const std::string& folder, WIN32_FIND_DATA* data);
BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data);  // FALSE + 18 at the end
BOOL FindClose(HANDLE find);

// Last-write time of a path (fresh lookup); FALSE when it is gone.
BOOL GetFileLastWriteTime(const std::string& path, FILETIME* lastWrite);
// Sets the last-write time (tests, tools).
BOOL SetFileLastWriteTime(const std::string& path, const FILETIME& lastWrite);
// UTC -> local time of the process's time zone.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
// Local FILETIME -> DOS date and time (2-second resolution); FALSE outside
// 1980-01-01 .. 2107-12-31.
BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime);

// Writing files.
constexpr DWORD CREATE_NEW = 1;     // fails with 80 when the file exists
constexpr DWORD CREATE_ALWAYS = 2;  // creates or truncates
constexpr DWORD OPEN_ALWAYS = 4;    // opens or creates, position at the end
// With it a link at the path is refused (5) instead of followed, and so is
// a file of another user or with a second name.
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
// Opens a regular file for writing (other processes may read it
// meanwhile; POSIX: a new one is 0644 whatever the umask). Anything else at the
// path (a folder, FIFO, device) is refused with 5 and never waited for.
// INVALID_HANDLE_VALUE with the last error on failure.
HANDLE CreateFileForWrite(const std::string& path, DWORD creationDisposition, DWORD flags = 0);
BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, DWORD* written);
// Closes a file or find handle; FALSE (with the error) when the close fails.
BOOL CloseHandle(HANDLE handle);

}  // namespace win
