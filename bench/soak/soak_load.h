// The parts of the soak run that live beside the service module: the paced
// sender of numbered events, the relay listener, the checker of saved log
// files, the old-file tree for cleanup, and the process's own figures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvsoak {

// One bit per event number, set from any thread.
class SeenSet {
 public:
  explicit SeenSet(std::size_t size) : words_((size + 63) / 64) {}
  // True when the bit was clear before.
  bool Mark(std::uint64_t n) {
    if (n / 64 >= words_.size()) return false;
    const std::uint64_t bit = std::uint64_t{1} << (n % 64);
    return (words_[n / 64].fetch_or(bit, std::memory_order_relaxed) & bit) == 0;
  }
  bool Has(std::uint64_t n) const {
    return n / 64 < words_.size() && (words_[n / 64].load(std::memory_order_relaxed) >> (n % 64)) & 1;
  }

 private:
  std::vector<std::atomic<std::uint64_t>> words_;
};

// The event text for number `n`; EventNumber reads it back (-1: not one).
std::string EventDatagram(std::uint64_t n);
std::int64_t EventNumber(std::string_view line);

// Sends events 0, 1, ... to 127.0.0.1 `port` at `rate` per second until
// `stop`; returns how many it sent. Paced by the millisecond.
std::uint64_t SendPaced(std::uint16_t port, std::uint64_t rate, const std::atomic<bool>& stop);

// Receives relays on its own socket until `stop`, marking their numbers.
class RelayListener {
 public:
  RelayListener();
  ~RelayListener();
  std::uint16_t Port() const { return port_; }
  void Run(SeenSet& relayed, std::atomic<std::uint64_t>& count, const std::atomic<bool>& stop);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Figures of the saved log files.
struct FileFigures {
  std::uint64_t files = 0;
  std::uint64_t lines = 0;
  std::uint64_t eventLines = 0;
  std::uint64_t duplicates = 0;
};

// Reads, checks and deletes the kvs*.log files directly in `folder`; all of
// them when `all`, otherwise all but the newest (it may still be written).
void CheckSavedFiles(const std::string& folder, bool all, SeenSet& saved, FileFigures& figures);

// `count` log files in 100 subfolders of `folder`; every 100th one last
// written 60 days ago. Restore() makes the deleted old ones again and
// returns how many it made.
class OldFileTree {
 public:
  OldFileTree(const std::string& folder, std::size_t count);
  std::size_t Restore() const;
  std::size_t OldCount() const { return old_.size(); }

 private:
  std::vector<std::string> old_;
};

// The system's count of UDP datagrams dropped for a full receive queue
// (RcvbufErrors in /proc/net/snmp); 0 when it cannot be read.
std::uint64_t UdpReceiveQueueDrops();

// Resident memory of this process in KiB, and its open descriptors.
std::uint64_t ResidentKiB();
std::size_t OpenDescriptors();

}  // namespace kvsoak
