// Plays the local syslog daemon for a test: binds <root>/dev/log of a
// temporary platform root and collects the entries sent to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "support/datagram_collector.h"
#include "support/temp_dir.h"

namespace kvtest {

// One entry as the C library writes it locally:
// "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG".
struct SyslogEntry {
  int pri = -1;
  std::string timestamp;  // "Mmm dd hh:mm:ss"
  std::string tag;
  long pid = -1;
  std::string message;
  std::string raw;
};

// Parses one datagram; nullopt when it is not of that form.
std::optional<SyslogEntry> ParseSyslogEntry(const std::string& datagram);

// Owns the socket <root>/dev/log. Safe from any thread.
class SyslogListener {
 public:
  explicit SyslogListener(const ScopedPlatformRoot& root);

  // Returns once everything sent to the socket before the call has been
  // collected.
  bool Flush() const { return collector_.Flush(); }

  std::vector<std::string> Datagrams() const { return collector_.Datagrams(); }
  // Entries received so far, in order (malformed datagrams left out).
  std::vector<SyslogEntry> Entries() const;
  // Entries whose tag is `tag`.
  std::vector<SyslogEntry> EntriesOf(const std::string& tag) const;

  // Waits until at least `count` entries have come.
  bool WaitForEntries(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until an entry whose message contains `text` has come.
  std::optional<SyslogEntry> WaitForMessage(const std::string& text,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  DatagramCollector collector_;
};

}  // namespace kvtest
