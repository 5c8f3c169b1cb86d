// Readable lines for the notify datagrams a service sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

// The fields of one status report.
struct ReportedStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t state = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
  std::string statusText;  // the STATUS= line, if any
};

// The status report in a notify datagram; nullopt when it carries none or a
// malformed one.
std::optional<ReportedStatus> ParseReportedStatus(const std::string& datagram);

// "START_PENDING", "RUNNING", ... or the number.
std::string StateName(std::uint32_t state);
// "none", or the accepted controls joined by "+": "stop+pause/continue+shutdown".
std::string AcceptedNames(std::uint32_t accepted);

// One line for a datagram: for a status report
//   state RUNNING, checkpoint 0, accepts stop+pause/continue+shutdown, wait hint 5000 ms, status "Running"
// (exit codes added when not 0), otherwise "notify: " and its lines joined by "; ".
std::string DescribeNotification(const std::string& datagram);

}  // namespace kv
