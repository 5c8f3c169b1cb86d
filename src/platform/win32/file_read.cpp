#include "platform/file_read.h"

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {

BOOL GetFileSizeOf(const std::string& path, std::uint64_t* size) {
  ::WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return FALSE_;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return detail::Fail(ERROR_ACCESS_DENIED);
  if (size) *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return TRUE_;
}

BOOL ReadFileContent(const std::string& path, std::string* content) {
  ::HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == detail::kSystemInvalidHandle) return FALSE_;
  std::string text;
  BOOL ok = ::GetFileType(file) == FILE_TYPE_DISK ? TRUE_ : FALSE_;
  if (!ok) ::SetLastError(ERROR_ACCESS_DENIED);
  char buffer[65536];
  while (ok) {
    ::DWORD read = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &read, nullptr)) ok = FALSE_;
    else if (read == 0) break;
    else text.append(buffer, read);
  }
  const ::DWORD error = ::GetLastError();
  ::CloseHandle(file);
  if (!ok) return detail::Fail(error);
  if (content) *content = std::move(text);
  return TRUE_;
}

}  // namespace win
