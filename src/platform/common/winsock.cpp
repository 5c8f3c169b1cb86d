// What both backends' Windows Sockets do alike: the version a WSAStartup
// call is granted, and the last error, which is the thread's last error.
#include "platform/winsock.h"

#include "platform/common/backend.h"
#include "platform/error.h"

namespace win {

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

namespace detail {

int NegotiateWinsockVersion(WORD versionRequested, WSADATA* data) {
  if (!data) return WSAEFAULT;
  const BYTE major = LOBYTE(versionRequested);
  const BYTE minor = HIBYTE(versionRequested);
  *data = WSADATA{};
  data->wHighVersion = MAKEWORD(1, 1);
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  data->wVersion = MAKEWORD(1, 1);
  return 0;
}

}  // namespace detail
}  // namespace win
