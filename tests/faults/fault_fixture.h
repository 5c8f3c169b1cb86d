// The kvlogserver program under a temporary platform root with the test as
// its service manager (a notify socket), its syslog daemon, the application
// that sends events and the listener on the repeat port; the parts can be
// taken away while it runs. Events are numbered; an event counts as
// accepted once its relay has arrived, and at the end every accepted event
// must be in the log files exactly once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/notify_listener.h"
#include "support/settings_file.h"
#include "support/syslog_listener.h"
#include "support/temp_dir.h"
#include "support/udp_listener.h"

namespace kvtest {

// Bounded wait for a condition another process brings about.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

class FaultTest : public ::testing::Test {
 protected:
  FaultTest();

  std::string ConfigFolder() const { return root_.Sub("opt/KelvaneSystem"); }
  std::string LogFolder() const { return ConfigFolder() + "/Logs"; }

  // The INI file with free ports, the log folder (or `folder`) and
  // `interval` seconds.
  void WriteIni(int interval);
  void WriteIni(int interval, const std::string& folder);

  // Starts kvlogserver, as `nobody` when `asNobody` and this process is
  // root (the platform root is then opened up for it). `program` and
  // `args` replace the plain start (e.g. svcrun in front).
  void Start(bool asNobody = false);
  void StartUnder(const std::string& program, const std::vector<std::string>& args);
  void AwaitState(std::uint32_t state);

  // Sends events [from, to), each after the relay of the one before; an
  // event whose relay comes is accepted.
  void Flow(int from, int to);
  // Sends a raw datagram without waiting.
  void SendRaw(const std::string& text);
  // Counts the event a relay carries as accepted.
  void Accept(const std::string& relay);
  // The number of the event in a relay or a log line; -1 for none.
  static int EventNumber(const std::string& text);

  // Entries of the service and of the program (a failed save is reported
  // under the program's name) that hold `text`; waits for `count` of them.
  std::size_t EntriesContaining(const std::string& text) const;
  bool AwaitEntries(const std::string& text, std::size_t count);
  // SIGTERM, exit code 0, and every entry of the stop received.
  void StopCleanly();

  // Waits for the end of the process; its exit code (-1: still running).
  int WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // The lines of every kvs*.log file in `folders`.
  std::vector<std::string> SavedLines(const std::vector<std::string>& folders) const;
  // Every accepted event exactly once, and nothing else numbered, in the
  // lines saved in `folders`.
  void ExpectEveryAcceptedEventOnce(const std::vector<std::string>& folders) const;

  static std::string EventDatagram(int number);

  ScopedPlatformRoot root_;
  std::optional<SyslogListener> syslog_;
  std::optional<NotifyListener> notify_;
  UdpListener relay_;
  std::uint16_t receivePort_ = FreeUdpPort();
  std::unique_ptr<ChildProcess> child_;
  std::vector<int> accepted_;
  std::size_t nextReport_ = 0;
};

}  // namespace kvtest
