#include "platform/common/service_dispatch.h"

namespace win {

std::string ServiceStateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "Stopped";
    case SERVICE_START_PENDING: return "Start pending";
    case SERVICE_STOP_PENDING: return "Stop pending";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continue pending";
    case SERVICE_PAUSE_PENDING: return "Pause pending";
    case SERVICE_PAUSED: return "Paused";
    default: return "State " + std::to_string(state);
  }
}

namespace detail {

bool HoldsOneService(const SERVICE_TABLE_ENTRY* table) {
  if (!table || !table[0].lpServiceName || !*table[0].lpServiceName || !table[0].lpServiceProc) return false;
  return !table[1].lpServiceName && !table[1].lpServiceProc;
}

bool ControlAccepted(DWORD control, DWORD accepted) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN: return accepted & SERVICE_ACCEPT_SHUTDOWN;
    default: return true;
  }
}

}  // namespace detail
}  // namespace win
