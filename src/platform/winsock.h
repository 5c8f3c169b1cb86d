// Windows Sockets 1.1 as the program uses it: IPv4 datagram sockets, read
// notifications as window messages, and the receive queue behind them that
// keeps a burst while the window's thread is busy.
//
// Every failing call sets the Windows Sockets error (WSAGetLastError) to a
// 10xxx number.
// POSIX: socket handles are numbers of the layer's own, never 0 and never
// reused (Windows reuses a closed socket's).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace win {

using SOCKET = UINT_PTR;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

// Constants carry a WS_ prefix so that they never meet the system's macros
// of the same names inside the layer.
constexpr int WS_AF_INET = 2;
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_SOCK_DGRAM = 2;
constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_REUSEADDR = 0x0004;
constexpr int WS_SO_BROADCAST = 0x0020;
constexpr int WS_MSG_PEEK = 0x2;
constexpr long WS_FD_READ = 0x01;
constexpr DWORD WS_INADDR_ANY = 0x00000000;
constexpr DWORD WS_INADDR_NONE = 0xFFFFFFFF;

struct WSADATA {
  WORD wVersion = 0;
  WORD wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  unsigned short iMaxSockets = 0;
  unsigned short iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

struct SOCKADDR {
  WORD sa_family;
  char sa_data[14];
};

struct IN_ADDR {
  DWORD S_addr;  // network byte order
};

struct SOCKADDR_IN {
  short sin_family;
  WORD sin_port;  // network byte order
  IN_ADDR sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);
static_assert(sizeof(SOCKADDR) == 16);

// Registration count per process. Grants version 1.1 for a request of 1.1
// or higher (up to 2.2), WSAVERNOTSUPPORTED below 1.1. Returns the error
// number itself (0 on success). Every other call fails with
// WSANOTINITIALISED while nothing is registered. All calls are safe from
// any thread.
int WSAStartup(WORD versionRequested, WSADATA* data);
// SOCKET_ERROR with WSANOTINITIALISED when nothing is registered. Releasing
// the last registration closes the sockets still open, as Windows does.
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// POSIX: knows WS_AF_INET and the two socket types above only (else
// WSAEAFNOSUPPORT, WSAESOCKTNOSUPPORT).
SOCKET socket(int af, int type, int protocol);
// WS_SO_REUSEADDR lets the program bind its port again at once after a
// restart. Windows: on a datagram socket it asks for the exclusive use of
// the address instead, so that no other program can share the port (a port
// in use is refused with WSAEADDRINUSE). POSIX: two sockets that both ask
// for it share the port; only WS_SO_REUSEADDR and WS_SO_BROADCAST are known
// (other options WSAENOPROTOOPT, other levels WSAEINVAL).
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int bind(SOCKET s, const SOCKADDR* name, int namelen);
// The local address the socket is bound to (tests use it after binding
// port 0). WSAEINVAL before the socket has an address.
int getsockname(SOCKET s, SOCKADDR* name, int* namelen);
// Asks for `msg` to be posted to `hwnd` (on the window's thread) when a
// datagram waits: once, then again only after a recvfrom on the socket
// (even a failing one) while more are waiting; at once when data already
// waits. wParam = the socket, lParam = WSAMAKESELECTREPLY(FD_READ, 0).
// Makes the socket non-blocking. events 0 cancels; only FD_READ is
// supported (other bits: WSAEINVAL, as is a window that does not exist).
// A datagram socket is read by a thread of the layer from its first
// request on: datagrams go into a receive queue of the layer's own (64 MiB,
// see SetReceiveQueueCapacity) as soon as they arrive, recvfrom takes them
// from there in arrival order, and the socket asks the system for an 8 MiB
// buffer of its own.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);
// A datagram larger than `len` is consumed and reported as WSAEMSGSIZE
// (the buffer holds its first `len` bytes). flags: 0 or WS_MSG_PEEK.
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
// The full length of the datagram that this thread's last recvfrom failing
// with WSAEMSGSIZE refused (this layer's own addition: Windows Sockets does
// not tell it), for a report an administrator can act on.
std::size_t LastRefusedDatagramLength();
// Loss accounting of a socket with read notifications (this layer's own
// addition; Windows Sockets 1.1 has none). Counts since the socket asked
// for notifications; both only grow.
struct ReceiveQueueStats {
  // Datagrams the system dropped because the socket's own buffer was full
  // (as the system last reported it along with a datagram). Windows: the
  // system does not tell them; always 0.
  std::uint64_t kernelDrops = 0;
  // Datagrams the layer's own receive queue had no room for.
  std::uint64_t queueDrops = 0;
  // The system's receive buffer the socket got, in bytes.
  int kernelBufferBytes = 0;
};
// Safe from any thread. A socket without notifications reports no drops.
int GetReceiveQueueStats(SOCKET s, ReceiveQueueStats* stats);
// Size in bytes of the receive queue that a datagram socket gets when it
// asks for read notifications from now on; 0 restores the default (64 MiB).
// For tests that need the queue to overflow.
void SetReceiveQueueCapacity(std::size_t bytes);

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
// One datagram of a batch (the shape of Windows Sockets 2's WSABUF).
struct WSABUF {
  unsigned long len;
  const char* buf;
};
// Sends `count` datagrams to `to` in order, as `count` sendto calls would,
// in as few system calls as it can (this layer's own addition). Returns
// how many were sent from the start; when that is fewer than `count`, the
// next one failed with the error set (as its sendto would have), and the
// ones after it were not tried.
int SendToBatch(SOCKET s, const WSABUF* buffers, int count, const SOCKADDR* to, int tolen);
// Datagrams waiting in the receive queue of a socket with read
// notifications (0 for other sockets and on failure). Safe from any thread.
std::size_t DatagramsWaiting(SOCKET s);
// Ends the socket's notifications (a message already queued stays queued)
// and closes it; later calls with the handle fail with WSAENOTSOCK (until
// Windows hands the number out again).
int closesocket(SOCKET s);
// Dotted-decimal text -> address in network byte order; WS_INADDR_NONE for
// anything else (names are not looked up). As Windows, also takes the short
// forms "a.b.c", "a.b", "a" and octal ("0...") or hexadecimal ("0x...") parts.
DWORD inet_addr(const char* cp);

// Byte order (this layer runs on little-endian hosts). The names are in
// parentheses so that the C library's macros of the same names, when a
// file includes them first, do not rewrite these declarations.
constexpr WORD(htons)(WORD v) { return static_cast<WORD>((v << 8) | (v >> 8)); }
constexpr DWORD(htonl)(DWORD v) { return ((v & 0xFF) << 24) | ((v & 0xFF00) << 8) | ((v >> 8) & 0xFF00) | (v >> 24); }
constexpr WORD(ntohs)(WORD v) { return (htons)(v); }
constexpr DWORD(ntohl)(DWORD v) { return (htonl)(v); }

// Window message carried by WSAAsyncSelect: lParam = event | (error << 16).
constexpr LPARAM WSAMAKESELECTREPLY(WORD event, WORD error) {
  return static_cast<LPARAM>(static_cast<DWORD>(event) | (static_cast<DWORD>(error) << 16));
}

}  // namespace win
