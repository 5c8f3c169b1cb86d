// Windows Sockets 1.1 as the program uses it: the system's own calls, and,
// for a datagram socket that asks for read notifications, a receive reader
// of the process behind WSAAsyncSelect (see datagram_reader.h), which
// recvfrom then reads.
#include "platform/winsock.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/common/backend.h"
#include "platform/error.h"
#include "platform/win32/datagram_reader.h"
#include "platform/win32/window_procs.h"
#include "platform/win32/windows_api.h"

namespace win {
namespace {

std::atomic<std::size_t> gReceiveQueueCapacity{detail::DatagramRing::kDefaultCapacity};

// The sockets that have a receive reader, by handle.
struct ReaderTable {
  std::mutex mutex;
  std::unordered_map<SOCKET, std::shared_ptr<detail::DatagramReader>> readers;
  int registrations = 0;
};

ReaderTable& Table() {
  static ReaderTable table;
  return table;
}

std::shared_ptr<detail::DatagramReader> ReaderOf(SOCKET s) {
  ReaderTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.readers.find(s);
  return it == table.readers.end() ? nullptr : it->second;
}

thread_local std::size_t tRefusedLength = 0;

// The system's Windows Sockets error becomes the last error the program
// reads.
int Failed() {
  WSASetLastError(::WSAGetLastError());
  return SOCKET_ERROR;
}

int Fail(int error) {
  WSASetLastError(error);
  return SOCKET_ERROR;
}

// Windows refuses every call while the process has no registration;
// Wine does not, so the check is ours.
bool Initialised() {
  ReaderTable& table = Table();
  std::lock_guard lock(table.mutex);
  return table.registrations > 0;
}

bool IsDatagramSocket(SOCKET s) {
  int type = 0;
  int len = sizeof type;
  return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0 && type == SOCK_DGRAM;
}

const ::sockaddr* System(const SOCKADDR* name) { return reinterpret_cast<const ::sockaddr*>(name); }

}  // namespace

namespace detail {

void AnnounceArrivedDatagrams() {
  std::vector<std::shared_ptr<DatagramReader>> readers;
  {
    ReaderTable& table = Table();
    std::lock_guard lock(table.mutex);
    for (const auto& [s, reader] : table.readers) readers.push_back(reader);
  }
  for (const auto& reader : readers) reader->AnnounceArrivedFor(::GetCurrentThreadId());
}

}  // namespace detail

int WSAStartup(WORD versionRequested, WSADATA* data) {
  if (int refused = detail::NegotiateWinsockVersion(versionRequested, data)) return refused;
  ::WSADATA system{};
  const int result = ::WSAStartup(MAKEWORD(1, 1), &system);
  if (result != 0) return result;
  data->wVersion = system.wVersion;
  data->wHighVersion = system.wHighVersion;
  std::memcpy(data->szDescription, system.szDescription, sizeof data->szDescription);
  std::memcpy(data->szSystemStatus, system.szSystemStatus, sizeof data->szSystemStatus);
  data->iMaxSockets = system.iMaxSockets;
  data->iMaxUdpDg = system.iMaxUdpDg;
  ReaderTable& table = Table();
  std::lock_guard lock(table.mutex);
  ++table.registrations;
  return 0;
}

int WSACleanup() {
  std::unordered_map<SOCKET, std::shared_ptr<detail::DatagramReader>> ended;  // ended outside the lock
  {
    ReaderTable& table = Table();
    std::lock_guard lock(table.mutex);
    if (table.registrations == 0) return Fail(WSANOTINITIALISED);
    // The last registration closes the sockets still open; their readers
    // end first.
    if (--table.registrations == 0) ended.swap(table.readers);
  }
  ended.clear();
  return ::WSACleanup() == 0 ? 0 : Failed();
}

SOCKET socket(int af, int type, int protocol) {
  if (!Initialised()) {
    WSASetLastError(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  const SOCKET s = ::socket(af, type, protocol);
  if (s == INVALID_SOCKET) Failed();
  return s;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  // SO_REUSEADDR means on Windows that a socket may bind a port another
  // socket holds, and take its datagrams from then on: a second program
  // would silently share the service's receive port. The program asks for
  // it as on other systems, to bind again at once after a restart, which
  // datagram sockets can anyway; it gets the exclusive use of its address
  // instead, so a port in use is refused (10048) and nobody can take it
  // over.
  if (level == WS_SOL_SOCKET && optname == WS_SO_REUSEADDR && IsDatagramSocket(s)) optname = SO_EXCLUSIVEADDRUSE;
  return ::setsockopt(s, level, optname, optval, optlen) == 0 ? 0 : Failed();
}

int bind(SOCKET s, const SOCKADDR* name, int namelen) { return ::bind(s, System(name), namelen) == 0 ? 0 : Failed(); }

int getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  return ::getsockname(s, reinterpret_cast<::sockaddr*>(name), namelen) == 0 ? 0 : Failed();
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  if (events & ~WS_FD_READ) return Fail(WSAEINVAL);  // the program asks only for reads
  if (events != 0 && !::IsWindow(detail::ToSystem(hwnd))) return Fail(WSAEINVAL);
  if (!IsDatagramSocket(s)) {
    return ::WSAAsyncSelect(s, detail::ToSystem(hwnd), msg, events) == 0 ? 0 : Failed();
  }
  std::shared_ptr<detail::DatagramReader> reader = ReaderOf(s);
  if (!reader) {
    if (events == 0) return 0;
    int error = 0;
    std::unique_ptr<detail::DatagramReader> started =
        detail::DatagramReader::Start(s, gReceiveQueueCapacity.load(), error);
    if (!started) return Fail(error);
    reader = std::move(started);
    ReaderTable& table = Table();
    std::lock_guard lock(table.mutex);
    table.readers[s] = reader;
  }
  reader->Notify(events != 0 ? hwnd : nullptr, msg);
  return 0;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  std::shared_ptr<detail::DatagramReader> reader = ReaderOf(s);
  if (!reader) {
    // Read whole, so that a datagram longer than the buffer is told by its
    // real length and never written beyond the buffer.
    std::vector<char> whole(65536);
    if (!buf || len < 0) return Fail(WSAEFAULT);
    const int n = ::recvfrom(s, whole.data(), static_cast<int>(whole.size()), flags,
                             reinterpret_cast<::sockaddr*>(from), fromlen);
    if (n == SOCKET_ERROR) return Failed();
    std::memcpy(buf, whole.data(), static_cast<std::size_t>(std::min(n, len)));
    if (n > len) {
      tRefusedLength = static_cast<std::size_t>(n);
      return Fail(WSAEMSGSIZE);
    }
    return n;
  }
  if (!buf || len < 0 || (from && (!fromlen || *fromlen < static_cast<int>(sizeof(SOCKADDR_IN))))) {
    reader->Rearm();  // a failing read counts as a read
    return Fail(WSAEFAULT);
  }
  detail::ReceivedDatagram datagram;
  if (!reader->Take(buf, static_cast<std::size_t>(len), (flags & WS_MSG_PEEK) != 0, datagram)) {
    return Fail(WSAEWOULDBLOCK);
  }
  if (from) {
    SOCKADDR_IN peer{};
    peer.sin_family = WS_AF_INET;
    peer.sin_port = datagram.port;
    peer.sin_addr.S_addr = datagram.address;
    std::memcpy(from, &peer, sizeof peer);
    *fromlen = sizeof peer;
  }
  // As the system's own reader: a datagram longer than the buffer is
  // consumed (unless peeked) and reported.
  if (datagram.length > static_cast<std::size_t>(len)) {
    tRefusedLength = datagram.length;
    return Fail(WSAEMSGSIZE);
  }
  return static_cast<int>(datagram.length);
}

std::size_t LastRefusedDatagramLength() { return tRefusedLength; }

int GetReceiveQueueStats(SOCKET s, ReceiveQueueStats* stats) {
  if (!stats) return Fail(WSAEFAULT);
  *stats = ReceiveQueueStats{};
  if (std::shared_ptr<detail::DatagramReader> reader = ReaderOf(s)) {
    // Windows does not count what its own buffer drops.
    stats->queueDrops = reader->RingDrops();
    stats->kernelBufferBytes = reader->KernelBufferBytes();
    return 0;
  }
  int len = sizeof stats->kernelBufferBytes;
  if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&stats->kernelBufferBytes), &len) != 0) {
    return Failed();
  }
  return 0;
}

void SetReceiveQueueCapacity(std::size_t bytes) {
  gReceiveQueueCapacity = bytes != 0 ? bytes : detail::DatagramRing::kDefaultCapacity;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  const int n = to ? ::sendto(s, buf, len, flags, System(to), tolen) : ::send(s, buf, len, flags);
  return n == SOCKET_ERROR ? Failed() : n;
}

int SendToBatch(SOCKET s, const WSABUF* buffers, int count, const SOCKADDR* to, int tolen) {
  if (!Initialised()) {
    WSASetLastError(WSANOTINITIALISED);
    return 0;
  }
  if (count <= 0) return 0;
  if (!buffers) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  // Windows has no call that sends several datagrams at once.
  int sent = 0;
  for (; sent < count; ++sent) {
    const WSABUF& b = buffers[sent];
    if (!b.buf && b.len > 0) {
      WSASetLastError(WSAEFAULT);
      break;
    }
    if (::sendto(s, b.buf, static_cast<int>(b.len), 0, System(to), tolen) == SOCKET_ERROR) {
      Failed();
      break;
    }
  }
  return sent;
}

std::size_t DatagramsWaiting(SOCKET s) {
  std::shared_ptr<detail::DatagramReader> reader = ReaderOf(s);
  return reader ? reader->Count() : 0;
}

int closesocket(SOCKET s) {
  if (!Initialised()) return Fail(WSANOTINITIALISED);
  std::shared_ptr<detail::DatagramReader> reader;
  {
    ReaderTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.readers.find(s);
    if (it != table.readers.end()) {
      reader = std::move(it->second);
      table.readers.erase(it);
    }
  }
  // The reader ends before the handle goes, so it never reads a socket
  // that a later call was given the same handle for.
  reader.reset();
  return ::closesocket(s) == 0 ? 0 : Failed();
}

DWORD inet_addr(const char* cp) { return cp ? ::inet_addr(cp) : WS_INADDR_NONE; }

}  // namespace win
