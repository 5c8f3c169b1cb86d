#include "net/msg_recv.h"

#include <string>

#include "base/exception.h"

namespace kv {
namespace {

[[noreturn]] void RaiseSocketError(const char* text) { throw Exception(text + std::to_string(win::WSAGetLastError())); }

}  // namespace

void TMsgRecv::Startup() {
  requestedVersion_ = WinSockVersion;
  startupResult_ = win::WSAStartup(requestedVersion_, &winSockData_);
  if (startupResult_ != 0) throw Exception("WSAStartup failed.");
  if (win::LOBYTE(winSockData_.wVersion) != win::LOBYTE(requestedVersion_) ||
      win::HIBYTE(winSockData_.wVersion) != win::HIBYTE(requestedVersion_)) {
    // Leave no registration behind, as the sender does.
    win::WSACleanup();
    throw Exception("Invalid WinSock version.");
  }
}

void TMsgRecv::Open(win::HWND window, std::int32_t port) {
  SocketHandle = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
  if (SocketHandle == win::INVALID_SOCKET) RaiseSocketError("Create Socket failed. stat = ");

  const std::int32_t reuse = 1;
  if (win::setsockopt(SocketHandle, win::WS_SOL_SOCKET, win::WS_SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                      sizeof reuse) != 0) {
    RaiseSocketError("SetSockOpt call failed. stat = ");
  }

  localAddr_ = win::SOCKADDR_IN{};
  localAddr_.sin_family = win::WS_AF_INET;
  localAddr_.sin_addr.S_addr = win::htonl(win::WS_INADDR_ANY);
  localAddr_.sin_port = win::htons(static_cast<win::WORD>(port & 0xFFFF));
  if (win::bind(SocketHandle, reinterpret_cast<const win::SOCKADDR*>(&localAddr_), sizeof localAddr_) ==
      win::SOCKET_ERROR) {
    RaiseSocketError("Bind Socket failed. stat = ");
  }

  if (win::WSAAsyncSelect(SocketHandle, window, NotifyMessage, win::WS_FD_READ) != 0) {
    RaiseSocketError("WSAAsyncSelect call failed. stat = ");
  }
}

void TMsgRecv::Close() {
  if (win::closesocket(SocketHandle) != 0) RaiseSocketError("CloseSocket call failed. stat = ");
}

void TMsgRecv::Cleanup() { win::WSACleanup(); }

}  // namespace kv
