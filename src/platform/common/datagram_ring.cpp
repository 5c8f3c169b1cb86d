// Each datagram in the ring is a 16-byte header, then its bytes, padded to
// 8. A record never wraps: when the end of the block has no room for it,
// the end is marked as skipped and the record starts at offset 0.
#include "platform/common/datagram_ring.h"

#include <algorithm>
#include <cstring>

namespace win::detail {
namespace {

struct RecordHeader {
  std::uint32_t length;  // real length
  std::uint32_t stored;  // bytes kept (the length, or kLargestDatagram when larger)
  std::uint32_t address;
  std::uint16_t port;
  std::uint16_t wrap;  // 1: no record here, the next one starts at offset 0
};
constexpr std::size_t kHeader = sizeof(RecordHeader);
static_assert(kHeader == 16);

constexpr std::size_t RecordSize(std::size_t stored) { return (kHeader + stored + 7) & ~std::size_t{7}; }

}  // namespace

DatagramRing::DatagramRing(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity & ~std::size_t{7}, RecordSize(0))) {
  // Not value-initialised: the pages are touched only as traffic reaches them.
  bytes_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

bool DatagramRing::Reserve(std::size_t size, std::size_t& at) {
  if (records_ == 0) head_ = tail_ = 0;
  if (size > capacity_) return false;
  if (tail_ >= head_ && !(records_ != 0 && tail_ == head_)) {
    if (capacity_ - tail_ >= size) {
      at = tail_;
      return true;
    }
    if (head_ < size) return false;  // not at the start either
    if (capacity_ - tail_ >= kHeader) {
      RecordHeader mark{0, 0, 0, 0, 1};
      std::memcpy(bytes_.get() + tail_, &mark, kHeader);
    }
    tail_ = 0;
    at = 0;
    return true;
  }
  if (head_ - tail_ < size) return false;
  at = tail_;
  return true;
}

std::size_t DatagramRing::Front() {
  if (capacity_ - head_ < kHeader || reinterpret_cast<const RecordHeader*>(bytes_.get() + head_)->wrap) {
    head_ = 0;
  }
  return head_;
}

bool DatagramRing::Push(const char* bytes, std::size_t length, std::uint32_t address, std::uint16_t port) {
  const std::size_t stored = std::min(length, kLargestDatagram);
  const std::size_t size = RecordSize(stored);
  std::size_t at = 0;
  if (!Reserve(size, at)) return false;
  RecordHeader header{static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(stored), address, port, 0};
  std::memcpy(bytes_.get() + at, &header, kHeader);
  if (stored != 0) std::memcpy(bytes_.get() + at + kHeader, bytes, stored);
  tail_ = at + size;
  if (tail_ == capacity_) tail_ = 0;
  ++records_;
  return true;
}

bool DatagramRing::Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out) {
  if (records_ == 0) return false;
  const std::size_t at = Front();
  RecordHeader header;
  std::memcpy(&header, bytes_.get() + at, kHeader);
  const std::size_t copied = std::min<std::size_t>(len, header.stored);
  if (copied != 0) std::memcpy(buf, bytes_.get() + at + kHeader, copied);
  out.length = header.length;
  out.address = header.address;
  out.port = header.port;
  if (peek) return true;
  const std::size_t size = RecordSize(header.stored);
  head_ = at + size;
  if (head_ == capacity_) head_ = 0;
  --records_;
  return true;
}

}  // namespace win::detail
