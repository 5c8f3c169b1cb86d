// Readable lines for the notify datagrams a service sends.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// "START_PENDING", "RUNNING", ... or the number.
std::string StateName(std::uint32_t state);
// "none", or the accepted controls joined by "+": "stop+pause/continue+shutdown".
std::string AcceptedNames(std::uint32_t accepted);

// One line for a datagram: for a status report
//   state RUNNING, checkpoint 0, accepts stop+pause/continue+shutdown, wait hint 5000 ms, status "Running"
// (exit codes added when not 0), for the service's own text beside the last
// report (a datagram of a STATUS= line alone)
//   status "Running · 12 events · ..."
// otherwise "notify: " and its lines joined by "; ".
std::string DescribeNotification(const std::string& datagram);

}  // namespace kv
