// Windows Sockets 1.1 over POSIX sockets: a process-wide table maps socket
// handles of our own to descriptors, WSAStartup registrations are counted,
// errno becomes a 10xxx number in the calling thread's last error, and read
// notifications go through the message wait of the window's thread.
#include "platform/winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/common/backend.h"
#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/posix/datagram_reader.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/read_notification.h"

namespace win {
namespace {

// One open socket. The descriptor lives as long as anyone uses it: the
// table, a call in progress, a thread watching it for notifications.
struct SocketEntry {
  explicit SocketEntry(int fd) : fd(std::make_shared<detail::UniqueFd>(fd)) {}

  const std::shared_ptr<detail::UniqueFd> fd;
  std::mutex mutex;
  std::unique_ptr<detail::ReadNotification> notification;  // guarded by mutex
  // A datagram socket that has asked for read notifications is read by a
  // thread of its own from then on; its queue is the socket's receive
  // queue until the socket closes. Guarded by mutex.
  std::shared_ptr<detail::DatagramReader> reader;
  // The socket has a local port (bound, or given one before its first
  // send); set under mutex, read without it.
  std::atomic<bool> named{false};
};

// Ring size for sockets that start reading from now on (a test seam).
std::atomic<std::size_t> gReceiveQueueCapacity{detail::DatagramRing::kDefaultCapacity};

struct SocketTable {
  // Guards the registration count's changes and the numbering, so that no
  // socket is made while the last registration closes them all.
  std::mutex mutex;
  std::atomic<int> registrations{0};
  // Handles count up from 1 and are never reused, so a stale handle (a
  // notification still queued after closesocket) reaches no new socket.
  SOCKET next = 1;
  detail::HandleTable<SOCKET, SocketEntry> entries;
};

SocketTable& Table() {
  static SocketTable table;
  return table;
}

// Length of the datagram this thread's last WSAEMSGSIZE refused.
thread_local std::size_t tRefusedLength = 0;

int Fail(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

int FailErrno(int err) { return Fail(WsaErrorFromErrno(err)); }

// The entry of `s`, or nullptr with the error set (not initialised, or not
// a socket).
std::shared_ptr<SocketEntry> Lookup(SOCKET s) {
  SocketTable& table = Table();
  if (table.registrations.load() == 0) {
    WSASetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  std::shared_ptr<SocketEntry> entry = table.entries.Find(s);
  if (!entry) WSASetLastError(WSAENOTSOCK);
  return entry;
}

bool Initialised() { return Table().registrations.load() > 0; }

bool ToSockaddr(const SOCKADDR* name, int namelen, sockaddr_in& out, int& error) {
  if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
    error = WSAEFAULT;
    return false;
  }
  SOCKADDR_IN in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != WS_AF_INET) {
    error = WSAEAFNOSUPPORT;
    return false;
  }
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.S_addr;
  return true;
}

void FromSockaddr(const sockaddr_in& in, SOCKADDR* out) {
  SOCKADDR_IN result{};
  result.sin_family = WS_AF_INET;
  result.sin_port = in.sin_port;
  result.sin_addr.S_addr = in.sin_addr.s_addr;
  std::memcpy(out, &result, sizeof result);
}

// Stops notifications and drops the entry's hold; the descriptor closes
// when its last user lets go.
void Release(SocketEntry& entry) {
  std::shared_ptr<detail::DatagramReader> reader;
  {
    std::lock_guard lock(entry.mutex);
    entry.notification.reset();
    reader = std::move(entry.reader);
  }
  if (reader) reader->Stop();
}

bool IsDatagramSocket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
}

// Binds `fd` to `addr`. A port chosen by the system (port 0) is one that no
// other socket holds, as on Windows: Linux would let a socket with
// SO_REUSEADDR pick a port that another such socket holds on every address,
// and the newer of the two then takes every datagram sent to that port (a
// relay socket could take over the receive port of the service that sends
// through it). So the option is off for the moment of such a bind. 0, or
// -1 with errno set.
int BindNative(int fd, const sockaddr_in& addr) {
  int reuse = 0;
  socklen_t len = sizeof reuse;
  const bool lift = addr.sin_port == 0 && ::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len) == 0 && reuse != 0;
  const int off = 0;
  if (lift && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) return -1;
  const int result = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int error = errno;
  if (lift) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  errno = error;
  return result;
}

// Windows gives a datagram socket that sends before it is bound a port of
// its own; the kernel's implicit bind would not keep it off a shared port,
// so the emulation binds the socket itself first. False with the error set
// when no port is left.
bool NameBeforeSend(SocketEntry& entry) {
  if (entry.named.load(std::memory_order_acquire)) return true;
  std::lock_guard lock(entry.mutex);
  if (entry.named.load(std::memory_order_relaxed)) return true;
  const int fd = entry.fd->Get();
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (IsDatagramSocket(fd) && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
      local.sin_port == 0) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (BindNative(fd, any) != 0) {
      FailErrno(errno);
      return false;
    }
  }
  entry.named.store(true, std::memory_order_release);
  return true;
}

// One part of an address text: decimal, octal after "0", hexadecimal after
// "0x". False for anything else or a value above `max`.
bool ParseAddressPart(const char*& p, DWORD max, DWORD& value) {
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') {
    base = 8;
    ++p;
  }
  std::uint64_t v = 0;
  int digits = 0;
  for (;; ++p, ++digits) {
    int d;
    if (*p >= '0' && *p <= '9') {
      d = *p - '0';
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      d = *p - 'a' + 10;
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      d = *p - 'A' + 10;
    } else {
      break;
    }
    if (d >= base) return false;
    v = v * base + static_cast<unsigned>(d);
    if (v > max) return false;
  }
  if (digits == 0 && base != 8) return false;
  value = static_cast<DWORD>(v);
  return true;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
  if (int refused = detail::NegotiateWinsockVersion(versionRequested, data)) return refused;
  std::strncpy(data->szDescription, "Windows Sockets 1.1 over POSIX sockets", sizeof data->szDescription - 1);
  std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  SocketTable& table = Table();
  std::lock_guard lock(table.mutex);
  ++table.registrations;
  return 0;
}

int WSACleanup() {
  std::vector<std::shared_ptr<SocketEntry>> closed;  // released outside the table lock
  {
    SocketTable& table = Table();
    std::lock_guard lock(table.mutex);
    if (table.registrations == 0) return Fail(WSANOTINITIALISED);
    // The last registration closes whatever sockets are still open.
    if (--table.registrations == 0) closed = table.entries.RemoveAll();
  }
  for (const auto& entry : closed) Release(*entry);
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  if (!Initialised()) {
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  if (af != WS_AF_INET) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int nativeType;
  switch (type) {
    case WS_SOCK_DGRAM: nativeType = SOCK_DGRAM; break;
    case WS_SOCK_STREAM: nativeType = SOCK_STREAM; break;
    default: WSASetLastError(WSAESOCKTNOSUPPORT); return INVALID_SOCKET;
  }
  int fd = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    WSASetLastError(WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
  auto entry = std::make_shared<SocketEntry>(fd);
  SocketTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.registrations == 0) {  // cleaned up meanwhile
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  SOCKET handle = table.next++;
  table.entries.Insert(handle, std::move(entry));
  return handle;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  if (level != WS_SOL_SOCKET) return Fail(WSAEINVAL);
  int nativeName;
  switch (optname) {
    case WS_SO_REUSEADDR: nativeName = SO_REUSEADDR; break;
    case WS_SO_BROADCAST: nativeName = SO_BROADCAST; break;
    default: return Fail(WSAENOPROTOOPT);
  }
  if (!optval || optlen < 1) return Fail(WSAEFAULT);
  // A BOOL option: Windows reads an int, or a single byte when that is all
  // it is given.
  int value = 0;
  if (optlen >= static_cast<int>(sizeof(int))) {
    std::memcpy(&value, optval, sizeof value);
  } else {
    value = static_cast<unsigned char>(optval[0]);
  }
  value = value != 0 ? 1 : 0;
  if (::setsockopt(entry->fd->Get(), SOL_SOCKET, nativeName, &value, sizeof value) != 0) return FailErrno(errno);
  return 0;
}

int bind(SOCKET s, const SOCKADDR* name, int namelen) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  sockaddr_in addr{};
  int error = 0;
  if (!ToSockaddr(name, namelen, addr, error)) return Fail(error);
  if (BindNative(entry->fd->Get(), addr) != 0) {
    // A second bind of one socket is WSAEINVAL on Windows and EINVAL here.
    return FailErrno(errno);
  }
  entry->named.store(true, std::memory_order_release);
  return 0;
}

int getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  if (!name || !namelen || *namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(entry->fd->Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return FailErrno(errno);
  // An unbound socket has no name on Windows; Linux reports port 0.
  if (addr.sin_port == 0) return Fail(WSAEINVAL);
  FromSockaddr(addr, name);
  *namelen = sizeof(SOCKADDR_IN);
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  if (events & ~WS_FD_READ) return Fail(WSAEINVAL);  // only read events are emulated
  const int fd = entry->fd->Get();
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno(errno);
  std::lock_guard lock(entry->mutex);
  entry->notification.reset();
  if (events == 0) return 0;
  const LPARAM reply = WSAMAKESELECTREPLY(static_cast<WORD>(WS_FD_READ), 0);
  if (!entry->reader && IsDatagramSocket(fd)) {
    int error = 0;
    entry->reader = detail::DatagramReader::Start(fd, entry->fd, gReceiveQueueCapacity.load(), error);
    if (!entry->reader) return FailErrno(error);
  }
  if (entry->reader) {
    // The window hears of the reader's queue. A look without waiting
    // (PeekMessage) sees the kernel's too, so a datagram that the reader
    // has not come round to yet is announced as soon as it arrives, as
    // without the reader (recvfrom then takes it from the kernel itself).
    detail::DatagramReader* reader = entry->reader.get();
    entry->notification = detail::ReadNotification::Start(
        hwnd, msg, static_cast<WPARAM>(s), reply, reader->ReadyDescriptor(), entry->reader,
        [reader] { return reader->HasDatagrams(); }, fd);
  } else {
    entry->notification = detail::ReadNotification::Start(hwnd, msg, static_cast<WPARAM>(s), reply, fd, entry->fd);
  }
  if (!entry->notification) return Fail(WSAEINVAL);
  return 0;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  std::shared_ptr<detail::DatagramReader> reader;
  {
    std::lock_guard lock(entry->mutex);
    reader = entry->reader;
  }
  int result;
  if (!buf || len < 0 || (from && (!fromlen || *fromlen < static_cast<int>(sizeof(SOCKADDR_IN))))) {
    result = Fail(WSAEFAULT);
  } else if (reader) {
    detail::ReceivedDatagram datagram;
    if (!reader->Take(buf, static_cast<std::size_t>(len), (flags & WS_MSG_PEEK) != 0, datagram)) {
      result = Fail(WSAEWOULDBLOCK);
    } else {
      if (from) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = datagram.address;
        peer.sin_port = datagram.port;
        FromSockaddr(peer, from);
        *fromlen = sizeof(SOCKADDR_IN);
      }
      // As the kernel's own queue: a datagram longer than the buffer is
      // consumed (unless peeked) and reported.
      if (datagram.length > static_cast<std::size_t>(len)) {
        tRefusedLength = datagram.length;
        result = Fail(WSAEMSGSIZE);
      } else {
        result = static_cast<int>(datagram.length);
      }
    }
  } else {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int nativeFlags = MSG_TRUNC | ((flags & WS_MSG_PEEK) ? MSG_PEEK : 0);
    ssize_t n = ::recvfrom(entry->fd->Get(), buf, static_cast<std::size_t>(len), nativeFlags,
                           reinterpret_cast<sockaddr*>(&peer), &peerLen);
    if (n < 0) {
      result = FailErrno(errno);
    } else {
      if (from) {
        FromSockaddr(peer, from);
        *fromlen = sizeof(SOCKADDR_IN);
      }
      // MSG_TRUNC reports the datagram's real length; the rest of it is gone.
      if (n > len) {
        tRefusedLength = static_cast<std::size_t>(n);
        result = Fail(WSAEMSGSIZE);
      } else {
        result = static_cast<int>(n);
      }
    }
  }
  // Any read, failed or not, lets the next waiting datagram be reported.
  std::lock_guard lock(entry->mutex);
  if (entry->notification) entry->notification->Rearm();
  return result;
}

std::size_t LastRefusedDatagramLength() { return tRefusedLength; }

int GetReceiveQueueStats(SOCKET s, ReceiveQueueStats* stats) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  if (!stats) return Fail(WSAEFAULT);
  std::shared_ptr<detail::DatagramReader> reader;
  {
    std::lock_guard lock(entry->mutex);
    reader = entry->reader;
  }
  *stats = ReceiveQueueStats{};
  if (reader) {
    stats->kernelDrops = reader->KernelDrops();
    stats->queueDrops = reader->RingDrops();
    stats->kernelBufferBytes = reader->KernelBufferBytes();
  } else {
    socklen_t len = sizeof stats->kernelBufferBytes;
    ::getsockopt(entry->fd->Get(), SOL_SOCKET, SO_RCVBUF, &stats->kernelBufferBytes, &len);
  }
  return 0;
}

void SetReceiveQueueCapacity(std::size_t bytes) {
  gReceiveQueueCapacity = bytes != 0 ? bytes : detail::DatagramRing::kDefaultCapacity;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  auto entry = Lookup(s);
  if (!entry) return SOCKET_ERROR;
  if ((!buf && len > 0) || len < 0) return Fail(WSAEFAULT);
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  if (!NameBeforeSend(*entry)) return SOCKET_ERROR;
  ssize_t n;
  if (to) {
    sockaddr_in addr{};
    int error = 0;
    if (!ToSockaddr(to, tolen, addr, error)) return Fail(error);
    n = ::sendto(entry->fd->Get(), buf, static_cast<std::size_t>(len), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } else {
    n = ::send(entry->fd->Get(), buf, static_cast<std::size_t>(len), MSG_NOSIGNAL);
  }
  if (n < 0) return FailErrno(errno);
  return static_cast<int>(n);
}

int SendToBatch(SOCKET s, const WSABUF* buffers, int count, const SOCKADDR* to, int tolen) {
  auto entry = Lookup(s);
  if (!entry) return 0;
  if (count <= 0) return 0;
  if (!buffers) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  sockaddr_in addr{};
  int error = 0;
  if (!ToSockaddr(to, tolen, addr, error)) {
    WSASetLastError(error);
    return 0;
  }
  if (!NameBeforeSend(*entry)) return 0;
  constexpr int kChunk = 64;
  mmsghdr messages[kChunk];
  iovec vectors[kChunk];
  int sent = 0;
  while (sent < count) {
    int n = 0;
    for (int i = 0; i < std::min(kChunk, count - sent); n = ++i) {
      const WSABUF& b = buffers[sent + i];
      if (!b.buf && b.len > 0) break;
      vectors[i] = iovec{const_cast<char*>(b.buf), b.len};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &addr;
      messages[i].msg_hdr.msg_namelen = sizeof addr;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    if (n == 0) {  // the next one has no bytes to send
      WSASetLastError(WSAEFAULT);
      return sent;
    }
    // sendmmsg stops at the first failure: it reports the ones sent before
    // it, or the failure itself when it is the first.
    const int done = ::sendmmsg(entry->fd->Get(), messages, static_cast<unsigned>(n), MSG_NOSIGNAL);
    if (done < 0) {
      FailErrno(errno);
      return sent;
    }
    sent += done;
  }
  return sent;
}

std::size_t DatagramsWaiting(SOCKET s) {
  auto entry = Lookup(s);
  if (!entry) return 0;
  std::lock_guard lock(entry->mutex);
  return entry->reader ? entry->reader->Count() : 0;
}

int closesocket(SOCKET s) {
  SocketTable& table = Table();
  if (table.registrations.load() == 0) return Fail(WSANOTINITIALISED);
  std::shared_ptr<SocketEntry> entry = table.entries.Remove(s);
  if (!entry) return Fail(WSAENOTSOCK);
  // A notification already queued stays queued; its read will find no socket.
  Release(*entry);
  return 0;
}

DWORD inet_addr(const char* cp) {
  if (!cp || !*cp) return WS_INADDR_NONE;
  // "a.b.c.d", "a.b.c" (c: 16 bits), "a.b" (b: 24 bits) or "a" (32 bits).
  DWORD parts[4] = {};
  int count = 0;
  const char* p = cp;
  for (;;) {
    if (count == 4) return WS_INADDR_NONE;
    if (!ParseAddressPart(p, 0xFFFFFFFF, parts[count])) return WS_INADDR_NONE;
    ++count;
    if (*p == '\0') break;
    if (*p != '.') return WS_INADDR_NONE;
    ++p;
  }
  DWORD host = 0;
  const DWORD lastMax = count == 1 ? 0xFFFFFFFF : count == 2 ? 0xFFFFFF : count == 3 ? 0xFFFF : 0xFF;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return WS_INADDR_NONE;
    host |= parts[i] << (24 - 8 * i);
  }
  if (parts[count - 1] > lastMax) return WS_INADDR_NONE;
  host |= parts[count - 1];
  return htonl(host);
}

}  // namespace win
