// The receive side of a notifying datagram socket. Internal to the platform
// layer: WSAAsyncSelect starts one for its socket, recvfrom takes from it.
//
// A thread of its own takes datagrams off the kernel in batches (recvmmsg)
// into a bounded ring (common/datagram_ring.h) as soon as they arrive, so that a busy or stalled
// message loop never lets the kernel's queue overflow. The ring is the
// socket's receive queue from then on: recvfrom takes its datagrams in
// arrival order, with their senders and real lengths.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/common/datagram_ring.h"

namespace win::detail {

class DatagramReader {
 public:
  // Starts reading `descriptor` (a non-blocking datagram socket that
  // `owner` keeps open). nullptr with errno-style `error` when the thread
  // or its descriptors cannot be had.
  static std::shared_ptr<DatagramReader> Start(int descriptor, std::shared_ptr<const void> owner, std::size_t capacity,
                                               int& error);
  ~DatagramReader();
  DatagramReader(const DatagramReader&) = delete;
  DatagramReader& operator=(const DatagramReader&) = delete;

  // Ends the reading thread; the datagrams in the ring stay readable.
  // Safe from any thread but the reader's own.
  void Stop();

  // Takes (or, with `peek`, copies) the oldest datagram: its first `len`
  // bytes go to `buf`. When the ring is empty it looks at the kernel queue
  // once itself, so a read right after a datagram arrived finds it. False
  // when nothing waits. Safe from any thread.
  bool Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out);

  // Readable while the ring holds datagrams (for the message wait's poll).
  int ReadyDescriptor() const;
  // True while the ring holds datagrams. Safe from any thread, lock-free.
  bool HasDatagrams() const { return count_.load(std::memory_order_acquire) != 0; }
  std::size_t Count() const { return count_.load(std::memory_order_acquire); }

  // Drop counts: the kernel's (datagrams it dropped because its queue was
  // full, as it last told us) and the ring's own overflows.
  std::uint64_t KernelDrops() const { return kernelDrops_.load(std::memory_order_relaxed); }
  std::uint64_t RingDrops() const { return ringDrops_.load(std::memory_order_relaxed); }
  // The kernel receive buffer the socket got, in bytes.
  int KernelBufferBytes() const { return kernelBuffer_; }

 private:
  struct Impl;
  explicit DatagramReader(std::unique_ptr<Impl> impl);
  void Run();
  // Reads what the kernel holds into the ring; caller holds readMutex_.
  // False when the kernel had nothing.
  bool PullLocked(bool drainAll);

  std::unique_ptr<Impl> impl_;
  std::mutex readMutex_;  // one reader of the kernel queue at a time, so order holds
  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint64_t> kernelDrops_{0};
  std::atomic<std::uint64_t> ringDrops_{0};
  int kernelBuffer_ = 0;
  std::thread thread_;
};

}  // namespace win::detail
