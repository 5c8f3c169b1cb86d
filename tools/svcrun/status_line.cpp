#include "status_line.h"

#include <cstdio>
#include <sstream>

#include "platform/posix/notify_protocol.h"
#include "platform/service_control.h"

namespace kv {

std::string StateName(std::uint32_t state) {
  switch (state) {
    case win::SERVICE_STOPPED: return "STOPPED";
    case win::SERVICE_START_PENDING: return "START_PENDING";
    case win::SERVICE_STOP_PENDING: return "STOP_PENDING";
    case win::SERVICE_RUNNING: return "RUNNING";
    case win::SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case win::SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case win::SERVICE_PAUSED: return "PAUSED";
    default: return std::to_string(state);
  }
}

std::string AcceptedNames(std::uint32_t accepted) {
  std::string names;
  auto add = [&names](const char* name) {
    if (!names.empty()) names += '+';
    names += name;
  };
  if (accepted & win::SERVICE_ACCEPT_STOP) add("stop");
  if (accepted & win::SERVICE_ACCEPT_PAUSE_CONTINUE) add("pause/continue");
  if (accepted & win::SERVICE_ACCEPT_SHUTDOWN) add("shutdown");
  std::uint32_t others =
      accepted & ~(win::SERVICE_ACCEPT_STOP | win::SERVICE_ACCEPT_PAUSE_CONTINUE | win::SERVICE_ACCEPT_SHUTDOWN);
  if (others != 0) {
    char other[16];
    std::snprintf(other, sizeof(other), "0x%x", static_cast<unsigned>(others));
    add(other);
  }
  return names.empty() ? "none" : names;
}

std::string DescribeNotification(const std::string& datagram) {
  if (auto status = win::ParseNotifyStatus(datagram)) {
    std::string line = "state " + StateName(status->state) + ", checkpoint " + std::to_string(status->checkPoint) +
                       ", accepts " + AcceptedNames(status->controlsAccepted) + ", wait hint " +
                       std::to_string(status->waitHint) + " ms";
    if (status->win32ExitCode != 0) line += ", exit code " + std::to_string(status->win32ExitCode);
    if (status->serviceExitCode != 0) line += ", service exit code " + std::to_string(status->serviceExitCode);
    if (!status->status.empty()) line += ", status \"" + status->status + "\"";
    return line;
  }
  std::string joined;
  std::istringstream lines(datagram);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    if (!joined.empty()) joined += "; ";
    joined += line;
  }
  return "notify: " + joined;
}

}  // namespace kv
