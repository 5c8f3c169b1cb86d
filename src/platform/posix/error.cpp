#include "platform/error.h"

#include <cerrno>
#include <cstring>

#include "platform/system_texts.h"

namespace win {
namespace {

thread_local DWORD tLastError = 0;

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

std::string FormatSystemMessage(DWORD code) {
  if (const char* text = detail::KnownSystemText(code)) return text;
  // Numbers of our own making that Windows does not have: the C library's
  // text is the best a person can get.
  if (code < 10000) {
    char buf[256];
    const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
    if (text && *text) return std::string(text) + ".";
  }
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
    case EISDIR:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case EIO: return ERROR_WRITE_FAULT;
    default: return static_cast<DWORD>(err);
  }
}

int WsaErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return 10000 + err;
  }
}

}  // namespace win
