// DatagramRing: the receive queue of a socket with read notifications, as
// both backends' DatagramReader keep it: datagrams in arrival order, each
// with its sender and real length, in one bounded block of bytes. The block
// is reserved up front but only touched as traffic fills it. Internal to the
// platform layer. Not thread-safe: its reader guards it with a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace win::detail {

// The system receive buffer each reader asks for besides the ring: what
// journald asks for its own sockets. Where the process may not force it,
// the system's limit caps it (on Linux net.core.rmem_max).
constexpr int kSystemReceiveBufferBytes = 8 << 20;

// One datagram taken from the ring.
struct ReceivedDatagram {
  std::size_t length = 0;     // its real length
  std::uint32_t address = 0;  // sender, network byte order
  std::uint16_t port = 0;     // sender, network byte order
};

class DatagramRing {
 public:
  // What a ring holds by default. At 300,000 datagrams/s of 100 bytes
  // (about 120 bytes each in the ring) this is two seconds of traffic with
  // the message loop stalled, far above any save or cleanup pause.
  static constexpr std::size_t kDefaultCapacity = std::size_t{64} << 20;
  // The most bytes kept of one datagram: a UDP datagram's largest payload
  // fits, so every datagram is kept whole.
  static constexpr std::size_t kLargestDatagram = 65536;

  // A ring of `capacity` bytes (rounded down to a multiple of 8, at least
  // one record's header).
  explicit DatagramRing(std::size_t capacity);

  // Appends a datagram of real length `length`, of which `bytes` holds the
  // first min(length, kLargestDatagram). False, and nothing stored, when
  // the ring has no room for it.
  bool Push(const char* bytes, std::size_t length, std::uint32_t address, std::uint16_t port);
  // Takes (or, with `peek`, copies) the oldest datagram: its first `len`
  // bytes go to `buf`. False when the ring is empty.
  bool Take(char* buf, std::size_t len, bool peek, ReceivedDatagram& out);

  std::size_t Count() const { return records_; }
  bool Empty() const { return records_ == 0; }

 private:
  // Where a record of `size` bytes can go, or false when the ring is too
  // full. May mark the end of the ring as skipped.
  bool Reserve(std::size_t size, std::size_t& at);
  // The oldest record's offset; caller checks records_ != 0.
  std::size_t Front();

  std::unique_ptr<char[]> bytes_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;  // oldest record
  std::size_t tail_ = 0;  // where the next record goes
  std::size_t records_ = 0;
};

}  // namespace win::detail
