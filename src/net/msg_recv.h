// TMsgRecv: the log service's listening UDP socket. It registers with the
// socket library, binds a UDP socket to a port on every local IPv4 address
// and has a window message posted to its owner's window whenever a datagram
// waits. It never reads: the owner's window procedure reads each datagram
// through SocketHandle into PeerAddr.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "platform/winsock.h"

namespace kv {

// Owns nothing it releases by itself: the owner runs Close and Cleanup
// before destroying it (as with every socket class here).
//
// Thread contract: Startup, Open, Close and Cleanup are called by one thread
// at a time (the owner serialises them); notifications and reads belong to
// the thread that owns the window passed to Open.
class TMsgRecv {
 public:
  // Window message posted for a waiting datagram: wParam = the socket,
  // lParam = WSAMAKESELECTREPLY(FD_READ, error).
  static constexpr win::UINT NotifyMessage = 1025;  // WM_USER + 1
  // Version asked of the socket library: 1.1.
  static constexpr win::WORD WinSockVersion = win::MAKEWORD(1, 1);

  TMsgRecv() = default;

  // Registers with the socket library at version 1.1. Raises kv::Exception
  // "WSAStartup failed." or, after releasing the registration again,
  // "Invalid WinSock version.".
  void Startup();
  // Creates the socket, sets SO_REUSEADDR, binds it to every local address
  // and the low 16 bits of `port`, and asks for NotifyMessage to `window`.
  // Raises kv::Exception "Create Socket failed. stat = N",
  // "SetSockOpt call failed. stat = N", "Bind Socket failed. stat = N" or
  // "WSAAsyncSelect call failed. stat = N"; a socket already created stays
  // in SocketHandle for Close.
  void Open(win::HWND window, std::int32_t port);
  // Closes SocketHandle (which keeps its value) and so ends the
  // notifications. Raises kv::Exception "CloseSocket call failed. stat = N".
  void Close();
  // Releases the library registration; the result is ignored.
  void Cleanup();

  win::WORD RequestedVersion() const { return requestedVersion_; }
  const win::WSADATA& WinSockData() const { return winSockData_; }
  std::int32_t StartupResult() const { return startupResult_; }
  const win::SOCKADDR_IN& LocalAddr() const { return localAddr_; }

  // The owner reads the socket through these two. 0 before the first Open,
  // INVALID_SOCKET after a failed creation.
  win::SOCKET SocketHandle = 0;
  // The sender of the last datagram read (filled by the owner's recvfrom).
  win::SOCKADDR_IN PeerAddr{};

 private:
  win::WORD requestedVersion_ = 0;
  win::WSADATA winSockData_{};
  std::int32_t startupResult_ = 0;
  win::SOCKADDR_IN localAddr_{};
};

}  // namespace kv
