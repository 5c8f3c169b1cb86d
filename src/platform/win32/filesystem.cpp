// The file system through the system's A calls. File and find handles are
// objects of the backend, so that CloseHandle closes either kind with its
// own system call and a stale handle is refused.
#include "platform/filesystem.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {

struct HandleObject {
  enum class Kind { File, Find };
  Kind kind = Kind::File;
  ::HANDLE system = nullptr;
  std::mutex lock;           // one call at a time on the system handle
  WIN32_FIND_DATAA first{};  // the entry FindFirstFileA read
};

namespace {

BOOL Fail(DWORD code) { return detail::Fail(code); }

detail::HandleTable<HANDLE, HandleObject>& Handles() {
  static detail::HandleTable<HANDLE, HandleObject> table;
  return table;
}

FILETIME ToFileTime(const ::FILETIME& ft) { return FILETIME{ft.dwLowDateTime, ft.dwHighDateTime}; }
::FILETIME ToSystem(const FILETIME& ft) { return ::FILETIME{ft.dwLowDateTime, ft.dwHighDateTime}; }

void FillFindData(const WIN32_FIND_DATAA& found, WIN32_FIND_DATA* data) {
  if (!data) return;
  data->dwFileAttributes = found.dwFileAttributes;
  data->ftCreationTime = ToFileTime(found.ftCreationTime);
  data->ftLastAccessTime = ToFileTime(found.ftLastAccessTime);
  data->ftLastWriteTime = ToFileTime(found.ftLastWriteTime);
  data->nFileSizeHigh = found.nFileSizeHigh;
  data->nFileSizeLow = found.nFileSizeLow;
  data->cFileName = found.cFileName;
}

// `folder` with one separator before the name, whatever it ends with.
std::string Join(const std::string& folder, const char* name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return folder + (last == '\\' || last == '/' ? "" : "\\") + name;
}

}  // namespace

DWORD GetFileAttributes(const std::string& path) { return static_cast<DWORD>(::GetFileAttributesA(path.c_str())); }

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL CreateDirectory(const std::string& path, FolderAccess) {
  // The new folder takes the access rules of its parent (under Program
  // Files: administrators and the system change it, users read it).
  if (!::CreateDirectoryA(path.c_str(), nullptr)) return FALSE_;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

std::string CreateProblem(const std::string& path) {
  if (path.empty()) return std::strerror(ENOENT);
  const DWORD attributes = GetFileAttributes(path);
  if (attributes != INVALID_FILE_ATTRIBUTES)
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? "" : std::strerror(ENOTDIR);
  std::string parent = path;
  while (parent.size() > 1 && (parent.back() == '\\' || parent.back() == '/')) parent.pop_back();
  const std::string::size_type slash = parent.find_last_of("\\/");
  parent = slash == std::string::npos ? "." : parent.substr(0, slash + (slash == 2 && parent[1] == ':' ? 1 : 0));
  const DWORD parentAttributes = GetFileAttributes(parent);
  if (parentAttributes == INVALID_FILE_ATTRIBUTES) return std::strerror(ENOENT);
  if (!(parentAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::strerror(ENOTDIR);
  if (parentAttributes & FILE_ATTRIBUTE_READONLY) return std::strerror(EACCES);
  return "";
}

BOOL DeleteFile(const std::string& path) {
  if (!::DeleteFileA(path.c_str())) return FALSE_;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL DeleteFileBelow(const std::string& folder, const std::string& relative) {
  // Each folder on the way is opened itself (not followed) and held without
  // FILE_SHARE_DELETE, so that it can be neither a link nor replaced by one
  // until the file is gone.
  std::vector<std::unique_ptr<void, decltype(&::CloseHandle)>> held;
  std::string path = folder.empty() ? std::string(".") : folder;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = relative.find_first_of("\\/", start);
    const std::string name = relative.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name.empty() || name == "." || name == "..")
      return Fail(end == std::string::npos ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    path = Join(path, name.c_str());
    if (end == std::string::npos) break;
    ::HANDLE level = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (level == detail::kSystemInvalidHandle) return Fail(ERROR_PATH_NOT_FOUND);
    held.emplace_back(level, &::CloseHandle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(level, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return Fail(ERROR_PATH_NOT_FOUND);
    start = end + 1;
  }
  ::HANDLE file =
      ::CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == detail::kSystemInvalidHandle) return FALSE_;
  std::unique_ptr<void, decltype(&::CloseHandle)> target(file, &::CloseHandle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return FALSE_;
  // Only an ordinary file goes, and not a read-only one (as DeleteFile).
  if (::GetFileType(file) != FILE_TYPE_DISK ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) !=
          0)
    return Fail(ERROR_ACCESS_DENIED);
  // Deleted through the handle: the very file looked at, whatever the name
  // holds by now.
  FILE_DISPOSITION_INFO disposition{TRUE};  // its one member, DeleteFile
  if (!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) return FALSE_;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

HANDLE FindFirstFile(const std::string& folder, WIN32_FIND_DATA* data) {
  auto object = std::make_shared<HandleObject>();
  object->kind = HandleObject::Kind::Find;
  object->system = ::FindFirstFileA(Join(folder.empty() ? "." : folder, "*").c_str(), &object->first);
  if (object->system == detail::kSystemInvalidHandle) return INVALID_HANDLE_VALUE;
  FillFindData(object->first, data);
  return Handles().Add(std::move(object));
}

BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data) {
  std::shared_ptr<HandleObject> object = Handles().Find(find);
  if (!object || object->kind != HandleObject::Kind::Find) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(object->lock);
  WIN32_FIND_DATAA found{};
  if (!::FindNextFileA(object->system, &found)) return FALSE_;
  FillFindData(found, data);
  return TRUE_;
}

BOOL FindClose(HANDLE find) {
  std::shared_ptr<HandleObject> object = Handles().Find(find);
  if (!object || object->kind != HandleObject::Kind::Find) return Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(find);
}

BOOL GetFileLastWriteTime(const std::string& path, FILETIME* lastWrite) {
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!lastWrite) return Fail(ERROR_INVALID_PARAMETER);
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) return FALSE_;
  *lastWrite = ToFileTime(attributes.ftLastWriteTime);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL SetFileLastWriteTime(const std::string& path, const FILETIME& lastWrite) {
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened too.
  ::HANDLE file =
      ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == detail::kSystemInvalidHandle) return FALSE_;
  const ::FILETIME time = ToSystem(lastWrite);
  const BOOL ok = ::SetFileTime(file, nullptr, nullptr, &time);
  const DWORD error = GetLastError();
  ::CloseHandle(file);
  if (!ok) return Fail(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) return Fail(ERROR_INVALID_PARAMETER);
  // The offset in force at that moment (summer or winter time of its own
  // date), so that a file's local day is the day it was written; the plain
  // FileTimeToLocalFileTime would apply today's offset.
  const ::FILETIME in = ToSystem(*utc);
  ::SYSTEMTIME utcTime{};
  ::SYSTEMTIME localTime{};
  ::FILETIME out{};
  if (!::FileTimeToSystemTime(&in, &utcTime) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime) ||
      !::SystemTimeToFileTime(&localTime, &out)) {
    if (!::FileTimeToLocalFileTime(&in, &out)) return FALSE_;
  }
  *local = ToFileTime(out);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime) {
  if (!ft || !fatDate || !fatTime) return Fail(ERROR_INVALID_PARAMETER);
  const ::FILETIME in = ToSystem(*ft);
  ::WORD date = 0;
  ::WORD time = 0;
  if (!::FileTimeToDosDateTime(&in, &date, &time)) return FALSE_;
  *fatDate = date;
  *fatTime = time;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

HANDLE CreateFileForWrite(const std::string& path, DWORD creationDisposition, DWORD flags) {
  if (creationDisposition != CREATE_NEW && creationDisposition != CREATE_ALWAYS && creationDisposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool itself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  // A link is refused before CREATE_ALWAYS could write over the link itself.
  const DWORD before = GetFileAttributes(path);
  if (itself && before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ::HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, creationDisposition,
                                FILE_ATTRIBUTE_NORMAL | (itself ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (file == detail::kSystemInvalidHandle) return INVALID_HANDLE_VALUE;
  const DWORD opened = GetLastError();  // ERROR_ALREADY_EXISTS for an existing file
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK ||
      (itself && ::GetFileInformationByHandle(file, &info) &&
       ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1))) {
    ::CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition == OPEN_ALWAYS) {
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(file, zero, nullptr, FILE_END);
  }
  auto object = std::make_shared<HandleObject>();
  object->system = file;
  HANDLE handle = Handles().Add(std::move(object));
  SetLastError(opened);
  return handle;
}

BOOL WriteFile(HANDLE file, const void* data, DWORD bytes, DWORD* written) {
  if (written) *written = 0;
  std::shared_ptr<HandleObject> object = Handles().Find(file);
  if (!object || object->kind != HandleObject::Kind::File) return Fail(ERROR_INVALID_HANDLE);
  if (bytes > 0 && !data) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(object->lock);
  const char* at = static_cast<const char*>(data);
  DWORD done = 0;
  while (done < bytes) {
    ::DWORD now = 0;
    if (!::WriteFile(object->system, at + done, bytes - done, &now, nullptr)) {
      if (written) *written = done;
      return FALSE_;
    }
    if (now == 0) {
      if (written) *written = done;
      return Fail(ERROR_WRITE_FAULT);
    }
    done += now;
  }
  if (written) *written = done;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object = Handles().Remove(handle);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(object->lock);
  const BOOL ok =
      object->kind == HandleObject::Kind::Find ? ::FindClose(object->system) : ::CloseHandle(object->system);
  object->system = nullptr;
  if (!ok) return FALSE_;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
