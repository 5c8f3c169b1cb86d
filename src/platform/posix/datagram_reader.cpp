// A reading thread per notifying datagram socket: poll, then recvmmsg in
// batches of 64 until the kernel queue is empty, each batch copied into the
// ring under one short lock.
#include "platform/posix/datagram_reader.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/detail/unique_fd.h"
#include "platform/thread_name.h"

namespace win::detail {
namespace {

// Datagrams per recvmmsg call: one call empties a burst of this many.
constexpr unsigned kBatch = 64;
// A UDP datagram's largest payload fits in one slot, so the real length of
// every datagram is known and a reader with a large buffer gets it whole.
constexpr std::size_t kSlot = DatagramRing::kLargestDatagram;
// Pause after each pull, in nanoseconds: at most this much latency added,
// at 100,000 datagrams/s about 20 datagrams per wake-up.
constexpr long kCoalesceNs = 200000;
// Scheduling weight of the reading thread (the process's own is 0).
constexpr int kReaderNice = -10;

class Eventfd {
 public:
  Eventfd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  int get() const { return fd_.Get(); }
  void Signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.Get(), &one, sizeof one);
  }
  void Clear() const {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(fd_.Get(), &value, sizeof value);
  }

 private:
  UniqueFd fd_;
};

}  // namespace

struct DatagramReader::Impl {
  int fd = -1;
  std::shared_ptr<const void> owner;
  Eventfd stop;
  Eventfd ready;  // readable exactly while the ring holds datagrams

  // The ring; guarded by ringMutex.
  std::mutex ringMutex;
  std::unique_ptr<DatagramRing> ring;

  // recvmmsg scratch; used under readMutex.
  std::unique_ptr<char[]> slots;
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  sockaddr_in peers[kBatch];
  alignas(cmsghdr) char controls[kBatch][CMSG_SPACE(sizeof(std::uint32_t))];
};

std::shared_ptr<DatagramReader> DatagramReader::Start(int descriptor, std::shared_ptr<const void> owner,
                                                      std::size_t capacity, int& error) {
  auto impl = std::make_unique<Impl>();
  if (impl->stop.get() < 0 || impl->ready.get() < 0) {
    error = errno;
    return nullptr;
  }
  impl->fd = descriptor;
  impl->owner = std::move(owner);
  impl->ring = std::make_unique<DatagramRing>(capacity);
  impl->slots = std::make_unique_for_overwrite<char[]>(kBatch * kSlot);
  for (unsigned i = 0; i < kBatch; ++i) {
    impl->vectors[i] = iovec{impl->slots.get() + i * kSlot, kSlot};
  }

  // A large kernel queue first: forced past the system limit when the
  // process may, else as much as the limit allows. The kernel doubles what
  // it is asked for (bookkeeping overhead) and reports the doubled value.
  const int want = kSystemReceiveBufferBytes;
  if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0) {
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  }
  // Every datagram then carries the socket's count of kernel drops.
  const int on = 1;
  ::setsockopt(descriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);

  std::shared_ptr<DatagramReader> reader(new DatagramReader(std::move(impl)));
  socklen_t len = sizeof reader->kernelBuffer_;
  ::getsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &reader->kernelBuffer_, &len);
  try {
    reader->thread_ = std::thread([r = reader.get()] {
      NameCurrentThread("kv-reader");
      r->Run();
    });
  } catch (const std::system_error& failure) {
    error = failure.code().value();
    return nullptr;
  }
  return reader;
}

DatagramReader::DatagramReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DatagramReader::~DatagramReader() { Stop(); }

void DatagramReader::Stop() {
  if (!thread_.joinable()) return;
  impl_->stop.Signal();
  thread_.join();
}

int DatagramReader::ReadyDescriptor() const { return impl_->ready.get(); }

void DatagramReader::Run() {
  // A higher share of the processor than the process's other threads where
  // the process may take it (nice affects one thread on Linux): the reader
  // needs little, but must not wait behind a busy main thread or other
  // programs while the kernel queue fills.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kReaderNice);
  pollfd fds[2] = {{impl_->fd, POLLIN, 0}, {impl_->stop.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    {
      std::lock_guard lock(readMutex_);
      PullLocked(true);
    }
    // Let a few more arrive before looking again: one wake-up then takes a
    // batch instead of a datagram or two, for the reader and for the thread
    // it notifies. The kernel queue holds far more than this pause brings.
    timespec pause{0, kCoalesceNs};
    ::nanosleep(&pause, nullptr);
  }
}

bool DatagramReader::PullLocked(bool drainAll) {
  Impl& m = *impl_;
  bool any = false;
  for (;;) {
    for (unsigned i = 0; i < kBatch; ++i) {
      msghdr& h = m.messages[i].msg_hdr;
      h = msghdr{};
      h.msg_name = &m.peers[i];
      h.msg_namelen = sizeof m.peers[i];
      h.msg_iov = &m.vectors[i];
      h.msg_iovlen = 1;
      h.msg_control = m.controls[i];
      h.msg_controllen = sizeof m.controls[i];
    }
    // MSG_TRUNC: each length is the datagram's real one even past the slot.
    const int n = ::recvmmsg(m.fd, m.messages, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n <= 0) return any;
    any = true;
    std::uint32_t kernelDrops = 0;
    bool sawDrops = false;
    std::size_t taken = 0;
    std::size_t dropped = 0;
    {
      std::lock_guard lock(m.ringMutex);
      const bool wasEmpty = m.ring->Empty();
      for (int i = 0; i < n; ++i) {
        msghdr& h = m.messages[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
          if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&kernelDrops, CMSG_DATA(c), sizeof kernelDrops);
            sawDrops = true;
          }
        }
        if (m.ring->Push(static_cast<const char*>(m.vectors[i].iov_base), m.messages[i].msg_len,
                         m.peers[i].sin_addr.s_addr, m.peers[i].sin_port)) {
          ++taken;
        } else {
          ++dropped;
        }
      }
      if (taken != 0) {
        count_.store(m.ring->Count(), std::memory_order_release);
        if (wasEmpty) m.ready.Signal();
      }
    }
    if (dropped != 0) ringDrops_.fetch_add(dropped, std::memory_order_relaxed);
    if (sawDrops) kernelDrops_.store(kernelDrops, std::memory_order_relaxed);
    if (!drainAll || n < static_cast<int>(kBatch)) return true;
  }
}

bool DatagramReader::Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out) {
  Impl& m = *impl_;
  if (!HasDatagrams()) {
    // The reading thread may not have come round yet: look once ourselves,
    // under the same lock, so arrival order holds.
    std::lock_guard readLock(readMutex_);
    if (!HasDatagrams()) PullLocked(false);
  }
  std::lock_guard lock(m.ringMutex);
  if (!m.ring->Take(buf, len, peek, out)) return false;
  if (peek) return true;
  count_.store(m.ring->Count(), std::memory_order_release);
  if (m.ring->Empty()) m.ready.Clear();
  return true;
}

}  // namespace win::detail
