// The last error is the system's own slot, shared with WSAGetLastError, so
// the numbers the backend's calls leave behind reach the program unchanged.
#include "platform/error.h"

#include <cerrno>
#include <cstring>

#include "platform/system_texts.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

// The system's text in `language`, without the trailing CR LF and blanks;
// "" when it has none.
std::string SystemText(DWORD code, DWORD language) {
  char* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = ::FormatMessageA(flags, nullptr, code, language, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer) text.assign(buffer, length);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

DWORD GetLastError() { return static_cast<DWORD>(::GetLastError()); }
void SetLastError(DWORD code) { ::SetLastError(code); }

std::string FormatSystemMessage(DWORD code) {
  // The Windows English texts of the numbers the program meets, the same
  // whatever the system's language; then the system's own English text,
  // then its text in its language, then a generic one.
  if (const char* known = detail::KnownSystemText(code)) return known;
  std::string text = SystemText(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
  if (text.empty()) text = SystemText(code, 0);
  if (!text.empty()) return text;
  return "Unknown error " + std::to_string(code) + ".";
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EIO: return ERROR_WRITE_FAULT;
    default: return static_cast<DWORD>(err);
  }
}

int WsaErrorFromErrno(int err) {
  // Windows Sockets report their own numbers; only the C library's few
  // reach here.
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case ENOMEM: return WSAENOBUFS;
    default: return 10000 + err;
  }
}

}  // namespace win
