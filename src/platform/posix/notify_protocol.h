// The notify protocol between a service process and its service manager
// (systemd, svcrun, the tests' listener): the status datagram a service
// sends for SetServiceStatus, its reader, and the signals that carry the
// manager's control codes to the service. One definition for the writer and
// every reader. Pure; safe from any thread.
//
// A status datagram is newline-separated `KEY=value` lines:
//   X_SERVICE_STATUS=<type> <state> <accepted> <win32 exit> <service exit> <checkpoint> <wait hint>
//   STATUS=<state text>[ (exit code N[, service code M])][ · <service's own text>]
//   READY=1                  the first report of the running state
//   STOPPING=1               a stop-pending report
//   EXTEND_TIMEOUT_USEC=N    a pending state with a wait hint (N = hint * 1000)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/service_dispatch.h"
#include "platform/types.h"

namespace win {

struct SERVICE_STATUS;

// The datagram for one SetServiceStatus report; `firstRunning` adds READY=1.
// A non-empty `detail` (the service's own figures) follows the state text
// after " · "; its line breaks (and NULs) become blanks, so that it can never add a
// line of its own to the datagram.
std::string ServiceStatusNotification(const SERVICE_STATUS& status, bool firstRunning, std::string_view detail = {});

// The datagram that only changes the text beside the last report: its
// STATUS= line alone, as ServiceStatusNotification writes it for `last`.
// systemd shows the new text; readers of reports see none.
std::string ServiceStatusTextNotification(const SERVICE_STATUS& last, std::string_view detail);

// ServiceStateText (common/service_dispatch.h) names the state on the
// STATUS= line.

// One status datagram as read back.
struct NotifyStatus {
  DWORD serviceType = 0;
  DWORD state = 0;
  DWORD controlsAccepted = 0;
  DWORD win32ExitCode = 0;
  DWORD serviceExitCode = 0;
  DWORD checkPoint = 0;
  DWORD waitHint = 0;
  std::string status;                              // the STATUS= text
  bool ready = false;                              // READY=1
  bool stopping = false;                           // STOPPING=1
  std::optional<std::uint64_t> extendTimeoutUsec;  // EXTEND_TIMEOUT_USEC=
};

// The report of a datagram; nullopt when it holds no X_SERVICE_STATUS line,
// or a malformed one (not seven unsigned decimal 32-bit numbers separated by
// blanks), or a malformed EXTEND_TIMEOUT_USEC. Of repeated lines the last
// counts; lines of other keys are ignored.
std::optional<NotifyStatus> ParseNotifyStatus(std::string_view datagram);

// The STATUS= text of a datagram that holds one and no X_SERVICE_STATUS
// line (the text-only update above); nullopt for anything else.
std::optional<std::string> ParseNotifyStatusText(std::string_view datagram);

// The control code a signal number carries (SIGTERM and SIGINT stop, SIGUSR1
// pauses, SIGUSR2 continues, SIGHUP interrogates, SIGPWR shuts down, the
// real-time signals are the custom codes from 128 up); 0 for none.
DWORD ControlForSignal(int signalNumber);
// The signal number that carries a control code; 0 for none.
int SignalForControl(DWORD control);

}  // namespace win
