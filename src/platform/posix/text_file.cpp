#include "platform/posix/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/posix/detail/path_error.h"
#include "platform/posix/detail/unique_fd.h"

namespace win::detail {
namespace {

// Closes a file handle on every path; Close() reports a failing close.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE Get() const { return handle_; }
  BOOL Close() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle);
  }

 private:
  HANDLE handle_;
};

}  // namespace

DWORD ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block the open
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrorForPath(errno, path);
  UniqueFd file(fd);
  struct stat st {};
  // Only regular files hold text; a folder, FIFO or device is not read.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrorFromErrno(errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return ERROR_SUCCESS;
}

DWORD WriteWholeFile(const std::string& path, std::string_view content, DWORD flags) {
  FileHandle file(CreateFileForWrite(path, CREATE_ALWAYS, flags));
  if (file.Get() == INVALID_HANDLE_VALUE) return GetLastError();
  while (!content.empty()) {
    DWORD chunk = content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
    DWORD written = 0;
    if (!WriteFile(file.Get(), content.data(), chunk, &written)) return GetLastError();
    content.remove_prefix(written);
  }
  if (!file.Close()) return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace win::detail
