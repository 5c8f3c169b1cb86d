// A temporary platform root for a service module run inside a benchmark:
// the configuration folder with the INI file, a log folder, and a syslog
// socket that takes the module's event log entries. Removed with everything
// in it when it goes.
#pragma once

#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace kvbench {

// Owns the temporary platform root (the test helpers' ScopedPlatformRoot:
// the folder and the KV_PLATFORM_ROOT setting, whose previous value comes
// back at the end) and the syslog socket. Main thread only.
class ScratchRoot {
 public:
  ScratchRoot();
  ~ScratchRoot();
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  // Path() + "/" + relative
  std::string Sub(const std::string& relative) const { return root_.Sub(relative); }
  const std::string& LogFolder() const { return logFolder_; }

  // Writes the module's INI file with these settings and the log folder.
  void WriteSettings(std::uint16_t receivePort, std::uint16_t repeatPort, int intervalSeconds) const;

  // Reads and drops the event log entries that have arrived.
  void DrainEventLog() const;

 private:
  kvtest::ScopedPlatformRoot root_;
  std::string logFolder_;
  int syslog_ = -1;
};

}  // namespace kvbench
