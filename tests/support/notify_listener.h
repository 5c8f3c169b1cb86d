// Plays the service manager's notify socket for a service under test: a
// unix datagram socket at a temporary path (or an abstract name) that
// collects the status reports a service process sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/notify_protocol.h"
#include "support/datagram_collector.h"
#include "support/temp_dir.h"

namespace kvtest {

// One status report as the protocol reads it, with the datagram it came in.
struct StatusReport : win::NotifyStatus {
  std::string raw;
};

// Parses one notify datagram; nullopt when it has no well-formed
// X_SERVICE_STATUS line.
std::optional<StatusReport> ParseStatusReport(const std::string& datagram);

// Owns the socket and, for a path socket, its temporary folder. Safe from
// any thread.
class NotifyListener {
 public:
  enum class Kind { Path, Abstract };
  explicit NotifyListener(Kind kind = Kind::Path);

  // The value for NOTIFY_SOCKET.
  const std::string& Address() const { return collector_->Address(); }

  // Returns once everything sent to the socket before the call has been
  // collected.
  bool Flush() const { return collector_->Flush(); }

  std::vector<std::string> Datagrams() const { return collector_->Datagrams(); }
  // The reports received so far, in order (datagrams without a status
  // line are left out).
  std::vector<StatusReport> Reports() const;

  // Waits until at least `count` reports have come.
  bool WaitForReports(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until a report with `state` has come at index `from` or later;
  // returns its index.
  std::optional<std::size_t> WaitForState(std::uint32_t state, std::size_t from = 0,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  std::optional<TempDir> dir_;
  std::optional<DatagramCollector> collector_;
};

}  // namespace kvtest
