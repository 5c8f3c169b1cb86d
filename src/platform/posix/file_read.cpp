#include "platform/file_read.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/posix/detail/path_error.h"
#include "platform/posix/text_file.h"

namespace win {

BOOL GetFileSizeOf(const std::string& path, std::uint64_t* size) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return detail::Fail(detail::ErrorForPath(errno, path));
  if (!S_ISREG(st.st_mode)) return detail::Fail(ERROR_ACCESS_DENIED);
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return TRUE_;
}

BOOL ReadFileContent(const std::string& path, std::string* content) {
  std::string text;
  const DWORD error = detail::ReadWholeFile(path, text);
  if (error != ERROR_SUCCESS) return detail::Fail(error);
  if (content) *content = std::move(text);
  return TRUE_;
}

}  // namespace win
