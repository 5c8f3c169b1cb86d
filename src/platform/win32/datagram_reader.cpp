#include "platform/win32/datagram_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/thread_name.h"
#include "platform/win32/window_procs.h"
#include "platform/win32/windows_api.h"

namespace win::detail {
namespace {

// The largest UDP datagram: every one is read whole, so its real length is
// known when a reader's buffer is too small for it.
constexpr int kLargestDatagram = static_cast<int>(DatagramRing::kLargestDatagram);
// Datagrams taken off the socket between two announcements.
constexpr int kBatch = 64;
// While a post fails (a queue full of other messages), it is tried again
// this often.
constexpr ::DWORD kRetryMs = 50;

}  // namespace

DatagramReader::DatagramReader(SOCKET s, std::size_t capacity) : socket_(s), ring_(capacity) {}

std::unique_ptr<DatagramReader> DatagramReader::Start(SOCKET s, std::size_t capacity, int& error) {
  std::unique_ptr<DatagramReader> reader(new DatagramReader(s, capacity));
  reader->readable_ = ::WSACreateEvent();
  reader->stop_ = ::WSACreateEvent();
  if (reader->readable_ == WSA_INVALID_EVENT || reader->stop_ == WSA_INVALID_EVENT) {
    error = ::WSAGetLastError();
    return nullptr;
  }
  // Makes the socket non-blocking, as WSAAsyncSelect does.
  if (::WSAEventSelect(s, reader->readable_, FD_READ) != 0) {
    error = ::WSAGetLastError();
    return nullptr;
  }
  // A datagram this socket sent to a port nobody listens on comes back as
  // an ICMP message, which Windows reports as WSAECONNRESET on the next
  // read; the reader does not want to hear of it.
  BOOL no = FALSE;
  ::DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &no, sizeof no, nullptr, 0, &returned, nullptr, nullptr);
  int wanted = kSystemReceiveBufferBytes;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&wanted), sizeof wanted);
  int got = 0;
  int gotLen = sizeof got;
  if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&got), &gotLen) == 0) reader->kernelBuffer_ = got;
  try {
    reader->thread_ = std::thread([r = reader.get()] {
      NameCurrentThread("kv-reader");
      r->Run();
    });
  } catch (...) {
    error = WSAENOBUFS;
    return nullptr;
  }
  return reader;
}

DatagramReader::~DatagramReader() {
  if (thread_.joinable()) {
    ::WSASetEvent(stop_);
    thread_.join();
  }
  if (readable_ && readable_ != WSA_INVALID_EVENT) {
    ::WSAEventSelect(socket_, nullptr, 0);
    ::WSACloseEvent(readable_);
  }
  if (stop_ && stop_ != WSA_INVALID_EVENT) ::WSACloseEvent(stop_);
}

void DatagramReader::Notify(HWND hwnd, UINT msg) {
  std::lock_guard lock(mutex_);
  hwnd_ = hwnd;
  msg_ = msg;
  armed_ = hwnd != nullptr;
  postFailed_ = false;
  AnnounceLocked();
}

void DatagramReader::AnnounceLocked() {
  if (!armed_ || ring_.Empty()) return;
  const LPARAM reply = WSAMAKESELECTREPLY(FD_READ, 0);
  if (::PostMessageA(ToSystem(hwnd_), msg_, socket_, reply)) {
    armed_ = false;
    postFailed_ = false;
  } else if (!::IsWindow(ToSystem(hwnd_))) {
    armed_ = false;  // the window is gone, and its notifications with it
    hwnd_ = nullptr;
  } else {
    postFailed_ = true;  // a full message queue: the reading thread retries
  }
}

bool DatagramReader::PullLocked(bool drainAll) {
  if (buffer_.empty()) buffer_.resize(kLargestDatagram);
  std::vector<char>& buffer = buffer_;
  bool any = false;
  for (int n = 0; drainAll || n < 1; ++n) {
    ::sockaddr_in from{};
    int fromLen = sizeof from;
    const int got =
        ::recvfrom(socket_, buffer.data(), kLargestDatagram, 0, reinterpret_cast<::sockaddr*>(&from), &fromLen);
    if (got == SOCKET_ERROR) {
      const int error = ::WSAGetLastError();
      if (error == WSAECONNRESET || error == WSAENETRESET) continue;  // an ICMP report, no datagram
      break;  // WSAEWOULDBLOCK: nothing more; anything else: the socket is closing
    }
    any = true;
    std::lock_guard lock(mutex_);
    if (ring_.Push(buffer.data(), static_cast<std::size_t>(got), from.sin_addr.s_addr, from.sin_port)) {
      count_.store(ring_.Count(), std::memory_order_release);
    } else {
      ringDrops_.fetch_add(1, std::memory_order_relaxed);
    }
    if (n % kBatch == kBatch - 1) AnnounceLocked();
  }
  return any;
}

void DatagramReader::Run() {
  ::WSAEVENT events[2] = {stop_, readable_};
  for (;;) {
    ::DWORD timeout = WSA_INFINITE;
    {
      std::lock_guard lock(mutex_);
      if (postFailed_) timeout = kRetryMs;
    }
    const ::DWORD woken = ::WSAWaitForMultipleEvents(2, events, FALSE, timeout, FALSE);
    if (woken == WSA_WAIT_EVENT_0) return;
    if (woken == WSA_WAIT_EVENT_0 + 1) {
      ::WSANETWORKEVENTS happened;
      ::WSAEnumNetworkEvents(socket_, readable_, &happened);  // resets the event
      std::lock_guard read(readMutex_);
      PullLocked(true);
    } else if (woken == WSA_WAIT_FAILED) {
      return;
    }
    std::lock_guard lock(mutex_);
    AnnounceLocked();
  }
}

void DatagramReader::AnnounceArrivedFor(DWORD thread) {
  {
    std::lock_guard lock(mutex_);
    if (!armed_ || !hwnd_ || ::GetWindowThreadProcessId(ToSystem(hwnd_), nullptr) != thread) return;
  }
  {
    std::lock_guard read(readMutex_);
    PullLocked(true);
  }
  std::lock_guard lock(mutex_);
  AnnounceLocked();
}

void DatagramReader::Rearm() {
  std::lock_guard lock(mutex_);
  armed_ = hwnd_ != nullptr;
  AnnounceLocked();
}

bool DatagramReader::Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out) {
  std::unique_lock lock(mutex_);
  if (ring_.Empty()) {
    lock.unlock();
    {
      std::lock_guard read(readMutex_);
      PullLocked(false);
    }
    lock.lock();
  }
  // Any read, found or not, lets the next waiting datagram be announced.
  armed_ = hwnd_ != nullptr;
  const bool found = ring_.Take(buf, len, peek, out);
  if (found && !peek) count_.store(ring_.Count(), std::memory_order_release);
  AnnounceLocked();
  return found;
}

}  // namespace win::detail
