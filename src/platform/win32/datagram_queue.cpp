#include "platform/win32/datagram_queue.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/thread_name.h"
#include "platform/win32/window_procs.h"
#include "platform/win32/windows_api.h"

namespace win::detail {
namespace {

// What one datagram costs in the queue beyond its bytes.
constexpr std::size_t kOverhead = sizeof(QueuedDatagram) + 16;
// The largest UDP datagram: every one is read whole, so its real length is
// known when a reader's buffer is too small for it.
constexpr int kLargestDatagram = 65536;
// Datagrams taken off the socket between two announcements.
constexpr int kBatch = 64;
// While a post fails (a queue full of other messages), it is tried again
// this often.
constexpr ::DWORD kRetryMs = 50;

}  // namespace

DatagramQueue::DatagramQueue(SOCKET s, std::size_t capacity) : socket_(s), capacity_(capacity) {}

std::unique_ptr<DatagramQueue> DatagramQueue::Start(SOCKET s, std::size_t capacity, int& error) {
  std::unique_ptr<DatagramQueue> queue(new DatagramQueue(s, capacity));
  queue->readable_ = ::WSACreateEvent();
  queue->stop_ = ::WSACreateEvent();
  if (queue->readable_ == WSA_INVALID_EVENT || queue->stop_ == WSA_INVALID_EVENT) {
    error = ::WSAGetLastError();
    return nullptr;
  }
  // Makes the socket non-blocking, as WSAAsyncSelect does.
  if (::WSAEventSelect(s, queue->readable_, FD_READ) != 0) {
    error = ::WSAGetLastError();
    return nullptr;
  }
  // A datagram this socket sent to a port nobody listens on comes back as
  // an ICMP message, which Windows reports as WSAECONNRESET on the next
  // read; the reader does not want to hear of it.
  BOOL no = FALSE;
  ::DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &no, sizeof no, nullptr, 0, &returned, nullptr, nullptr);
  int wanted = kSystemBufferBytes;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&wanted), sizeof wanted);
  int got = 0;
  int gotLen = sizeof got;
  if (::getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&got), &gotLen) == 0) queue->systemBuffer_ = got;
  try {
    queue->thread_ = std::thread([q = queue.get()] {
      NameCurrentThread("kv-reader");
      q->Run();
    });
  } catch (...) {
    error = WSAENOBUFS;
    return nullptr;
  }
  return queue;
}

DatagramQueue::~DatagramQueue() {
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

void DatagramQueue::Notify(HWND hwnd, UINT msg) {
  std::lock_guard lock(mutex_);
  hwnd_ = hwnd;
  msg_ = msg;
  armed_ = hwnd != nullptr;
  postFailed_ = false;
  AnnounceLocked();
}

void DatagramQueue::AnnounceLocked() {
  if (!armed_ || queue_.empty()) return;
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

bool DatagramQueue::PullLocked(bool drainAll) {
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
    const std::size_t cost = static_cast<std::size_t>(got) + kOverhead;
    std::lock_guard lock(mutex_);
    if (bytes_ + cost > capacity_) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
    } else {
      queue_.push_back(QueuedDatagram{std::string(buffer.data(), static_cast<std::size_t>(got)), from.sin_addr.s_addr,
                                      from.sin_port});
      bytes_ += cost;
      count_.store(queue_.size(), std::memory_order_release);
    }
    if (n % kBatch == kBatch - 1) AnnounceLocked();
  }
  return any;
}

void DatagramQueue::Run() {
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

void DatagramQueue::AnnounceArrivedFor(DWORD thread) {
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

void DatagramQueue::Rearm() {
  std::lock_guard lock(mutex_);
  armed_ = hwnd_ != nullptr;
  AnnounceLocked();
}

bool DatagramQueue::Take(char* buf, std::size_t len, bool peek, QueuedDatagram& header, std::size_t& length) {
  std::unique_lock lock(mutex_);
  if (queue_.empty()) {
    lock.unlock();
    {
      std::lock_guard read(readMutex_);
      PullLocked(false);
    }
    lock.lock();
  }
  // Any read, found or not, lets the next waiting datagram be announced.
  armed_ = hwnd_ != nullptr;
  bool found = false;
  if (!queue_.empty()) {
    QueuedDatagram& front = queue_.front();
    length = front.bytes.size();
    header.address = front.address;
    header.port = front.port;
    if (len > 0) std::memcpy(buf, front.bytes.data(), std::min(len, length));
    if (!peek) {
      bytes_ -= length + kOverhead;
      queue_.pop_front();
      count_.store(queue_.size(), std::memory_order_release);
    }
    found = true;
  }
  AnnounceLocked();
  return found;
}

}  // namespace win::detail
