// The receive side of a notifying datagram socket on Windows. Internal to
// the backend: WSAAsyncSelect starts one for its socket, recvfrom takes
// from it.
//
// The system's WSAAsyncSelect leaves a burst in the socket's system buffer
// until the window's thread comes round to read it, and when that buffer
// overflows Windows drops datagrams without telling anyone. So a thread of
// our own takes each datagram off the socket as soon as it arrives (woken
// by WSAEventSelect) into a bounded queue of the process, counts what that
// queue has no room for, and posts the window's message itself by the rules
// of WSAAsyncSelect: once while datagrams wait, again only after a read.
// The queue is the ring both backends keep (common/datagram_ring.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/common/datagram_ring.h"
#include "platform/types.h"
#include "platform/winsock.h"

namespace win::detail {

class DatagramReader {
 public:
  // Starts reading `s` (a datagram socket). nullptr with a Windows Sockets
  // `error` when the thread or its events cannot be had.
  static std::unique_ptr<DatagramReader> Start(SOCKET s, std::size_t capacity, int& error);
  ~DatagramReader();  // ends the reading thread
  DatagramReader(const DatagramReader&) = delete;
  DatagramReader& operator=(const DatagramReader&) = delete;

  // Where the notification goes from now on; hwnd nullptr ends them. The
  // notification starts armed: datagrams already waiting are announced.
  void Notify(HWND hwnd, UINT msg);
  // Takes (or, with `peek`, copies) the oldest datagram: its first `len`
  // bytes go to `buf`. When none is queued it looks at the socket once
  // itself, so a read right after an arrival finds it. False when nothing
  // waits. Rearms the notification. Safe from any thread.
  bool Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out);

  // Lets the next waiting datagram be announced, as any read does.
  void Rearm();
  // Takes what the socket holds now and announces it, when the window
  // belongs to the calling thread: a look for messages without waiting
  // (PeekMessage) sees a datagram that has just arrived, as the system's
  // own notification would have been posted.
  void AnnounceArrivedFor(DWORD thread);

  std::size_t Count() const { return count_.load(std::memory_order_acquire); }
  // The ring's own overflows (the system does not tell its drops).
  std::uint64_t RingDrops() const { return ringDrops_.load(std::memory_order_relaxed); }
  // The system's receive buffer the socket got, in bytes.
  int KernelBufferBytes() const { return kernelBuffer_; }

 private:
  DatagramReader(SOCKET s, std::size_t capacity);
  void Run();
  // Reads what the socket holds into the ring; false when it held nothing.
  // Caller holds readMutex_.
  bool PullLocked(bool drainAll);
  // Posts the notification when it is armed and datagrams wait. Caller
  // holds mutex_.
  void AnnounceLocked();

  const SOCKET socket_;
  void* readable_ = nullptr;  // WSAEventSelect's event
  void* stop_ = nullptr;
  int kernelBuffer_ = 0;

  std::mutex readMutex_;      // one reader of the socket at a time, so order holds
  std::vector<char> buffer_;  // what a read takes in, guarded by readMutex_
  mutable std::mutex mutex_;
  DatagramRing ring_;        // guarded by mutex_
  HWND hwnd_ = nullptr;      // guarded by mutex_
  UINT msg_ = 0;             // guarded by mutex_
  bool armed_ = false;       // guarded by mutex_
  bool postFailed_ = false;  // guarded by mutex_
  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint64_t> ringDrops_{0};
  std::thread thread_;
};

// AnnounceArrivedFor on every socket with a receive queue (winsock.cpp).
void AnnounceArrivedDatagrams();

}  // namespace win::detail
