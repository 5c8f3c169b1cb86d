// The service side of the Service Control Manager: the service table, the
// control handler and the status reports go to the system's own calls.
// When the process plays its own service manager (--foreground), the same
// calls are answered here instead: the service-main function runs on a
// thread of its own, reports are printed, and Ctrl+C asks for a stop.
#include "platform/service_control.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "platform/common/service_dispatch.h"
#include "platform/win32/foreground_dispatch.h"
#include "platform/win32/sdk.h"

namespace win {

// A status handle of the foreground dispatcher; the system's handles are
// the system's own values.
struct ServiceStatusObject {};

namespace {

// The one service of the process, as the dispatcher runs it.
struct Dispatch {
  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
  std::string name;
  LPSERVICE_MAIN_FUNCTION serviceMain = nullptr;
  LPHANDLER_FUNCTION handler = nullptr;
  bool mainStarted = false;
  bool mainReturned = false;
  // The foreground dispatcher's state.
  bool foreground = false;
  std::string prefix;
  bool registered = false;
  bool stoppedReported = false;
  DWORD accepted = 0;
  DWORD pendingControl = 0;  // a Ctrl+C that waits for a report that takes it
};

Dispatch& TheDispatch() {
  static Dispatch dispatch;
  return dispatch;
}

ServiceStatusObject gForegroundStatus;

bool SameName(const std::string& a, const char* b) { return b && ::lstrcmpiA(a.c_str(), b) == 0; }

// Runs the service-main function; a failure escaping it ends it like a
// return.
void RunServiceMain(Dispatch& dispatch, DWORD argc, char** argv) {
  LPSERVICE_MAIN_FUNCTION serviceMain = nullptr;
  {
    std::lock_guard lock(dispatch.mutex);
    dispatch.mainStarted = true;
    serviceMain = dispatch.serviceMain;
  }
  try {
    serviceMain(argc, argv);
  } catch (...) {
  }
  std::lock_guard lock(dispatch.mutex);
  dispatch.mainReturned = true;
  dispatch.changed.notify_all();
}

void WINAPI SystemServiceMain(::DWORD argc, LPSTR* argv) {
  RunServiceMain(TheDispatch(), static_cast<DWORD>(argc), argv);
}

void WINAPI SystemControlHandler(::DWORD control) {
  LPHANDLER_FUNCTION handler = nullptr;
  {
    std::lock_guard lock(TheDispatch().mutex);
    handler = TheDispatch().handler;
  }
  if (!handler) return;
  try {
    handler(static_cast<DWORD>(control));
  } catch (...) {
    // A handler has no way to report a failure; the dispatcher goes on.
  }
}

// Ctrl+C, Ctrl+Break and closing the console ask the foreground service to
// stop; the handler runs on a thread of the system's.
BOOL WINAPI ConsoleControl(::DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  Dispatch& dispatch = TheDispatch();
  std::lock_guard lock(dispatch.mutex);
  if (!dispatch.running || !dispatch.foreground || dispatch.stoppedReported) return TRUE;
  dispatch.pendingControl = SERVICE_CONTROL_STOP;
  dispatch.changed.notify_all();
  return TRUE;
}

BOOL RunInForeground(Dispatch& dispatch, const std::string& name) {
  ::SetConsoleCtrlHandler(ConsoleControl, TRUE);
  std::thread mainThread;
  try {
    mainThread = std::thread([&dispatch, name] {
      std::string argument = name;
      char* argv[2] = {argument.data(), nullptr};
      RunServiceMain(dispatch, 1, argv);
    });
  } catch (...) {
    ::SetConsoleCtrlHandler(ConsoleControl, FALSE);
    return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  std::unique_lock lock(dispatch.mutex);
  for (;;) {
    if (dispatch.mainReturned && (dispatch.stoppedReported || !dispatch.registered)) break;
    // A stop asked for while the service took none (while it starts) is
    // kept and passed on as soon as a report accepts it.
    if (dispatch.pendingControl != 0 && dispatch.registered &&
        detail::ControlAccepted(dispatch.pendingControl, dispatch.accepted)) {
      const DWORD control = dispatch.pendingControl;
      dispatch.pendingControl = 0;
      LPHANDLER_FUNCTION handler = dispatch.handler;
      lock.unlock();
      try {
        if (handler) handler(control);
      } catch (...) {
      }
      lock.lock();
      continue;
    }
    dispatch.changed.wait(lock);
  }
  lock.unlock();
  mainThread.join();
  ::SetConsoleCtrlHandler(ConsoleControl, FALSE);
  return TRUE_;
}

}  // namespace

void PrepareServiceProcess() {
  // A service has nobody to answer a critical-error box.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

// Control requests come through the service manager's own calls, never as
// signals: nothing to block.
struct ScopedServiceSignalBlock::SavedMask {};
ScopedServiceSignalBlock::ScopedServiceSignalBlock() = default;
ScopedServiceSignalBlock::~ScopedServiceSignalBlock() = default;

namespace detail {

void SetForegroundDispatch(bool on, const std::string& prefix) {
  Dispatch& dispatch = TheDispatch();
  std::lock_guard lock(dispatch.mutex);
  dispatch.foreground = on;
  dispatch.prefix = prefix;
}

}  // namespace detail

BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table) {
  if (!detail::HoldsOneService(table)) return detail::Fail(ERROR_INVALID_PARAMETER);
  Dispatch& dispatch = TheDispatch();
  const std::string name = table[0].lpServiceName;
  bool foreground = false;
  {
    std::lock_guard lock(dispatch.mutex);
    if (dispatch.running) return detail::Fail(ERROR_SERVICE_ALREADY_RUNNING);
    dispatch.running = true;
    dispatch.name = name;
    dispatch.serviceMain = table[0].lpServiceProc;
    dispatch.handler = nullptr;
    dispatch.mainStarted = false;
    dispatch.mainReturned = false;
    dispatch.registered = false;
    dispatch.stoppedReported = false;
    dispatch.accepted = 0;
    dispatch.pendingControl = 0;
    foreground = dispatch.foreground;
  }
  BOOL result = FALSE_;
  DWORD error = ERROR_SUCCESS;
  if (foreground) {
    result = RunInForeground(dispatch, name);
  } else {
    std::string argument = name;
    ::SERVICE_TABLE_ENTRYA systemTable[2] = {{argument.data(), SystemServiceMain}, {nullptr, nullptr}};
    result = ::StartServiceCtrlDispatcherA(systemTable) ? TRUE_ : FALSE_;
    error = GetLastError();
    // The manager lets the dispatcher go once the service reported
    // SERVICE_STOPPED; its service-main function may still be finishing.
    std::unique_lock lock(dispatch.mutex);
    dispatch.changed.wait(lock, [&dispatch] { return !dispatch.mainStarted || dispatch.mainReturned; });
  }
  {
    std::lock_guard lock(dispatch.mutex);
    dispatch.running = false;
    dispatch.handler = nullptr;
  }
  if (!result) SetLastError(error != ERROR_SUCCESS ? error : GetLastError());
  return result;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION handler) {
  Dispatch& dispatch = TheDispatch();
  bool foreground = false;
  {
    std::lock_guard lock(dispatch.mutex);
    if (!dispatch.running || !SameName(dispatch.name, name)) {
      SetLastError(ERROR_SERVICE_NOT_IN_EXE);
      return nullptr;
    }
    dispatch.handler = handler;
    foreground = dispatch.foreground;
    if (foreground) {
      dispatch.registered = true;
      dispatch.changed.notify_all();
      return &gForegroundStatus;
    }
  }
  ::SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerA(name, SystemControlHandler);
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (!status) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (handle == &gForegroundStatus) {
    Dispatch& dispatch = TheDispatch();
    std::string line;
    {
      std::lock_guard lock(dispatch.mutex);
      if (!dispatch.running || !dispatch.registered) return detail::Fail(ERROR_INVALID_HANDLE);
      dispatch.accepted = status->dwControlsAccepted;
      if (status->dwCurrentState == SERVICE_STOPPED) dispatch.stoppedReported = true;
      dispatch.changed.notify_all();
      line = dispatch.prefix + ": " + ServiceStateText(status->dwCurrentState);
    }
    if (status->dwWin32ExitCode != 0) {
      line += " (exit code " + std::to_string(status->dwWin32ExitCode);
      if (status->dwServiceSpecificExitCode != 0)
        line += ", service code " + std::to_string(status->dwServiceSpecificExitCode);
      line += ")";
    }
    line += "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return TRUE_;
  }
  ::SERVICE_STATUS system{};
  system.dwServiceType = status->dwServiceType;
  system.dwCurrentState = status->dwCurrentState;
  system.dwControlsAccepted = status->dwControlsAccepted;
  system.dwWin32ExitCode = status->dwWin32ExitCode;
  system.dwServiceSpecificExitCode = status->dwServiceSpecificExitCode;
  system.dwCheckPoint = status->dwCheckPoint;
  system.dwWaitHint = status->dwWaitHint;
  if (!handle) return detail::Fail(ERROR_INVALID_HANDLE);
  return ::SetServiceStatus(reinterpret_cast<::SERVICE_STATUS_HANDLE>(handle), &system) ? TRUE_ : FALSE_;
}

std::string RunByHandAdvice(const std::string& program, const std::string& service) {
  return "start it as a service (net start " + service + ", or the Services console), or run it with " + program +
         " --foreground";
}

}  // namespace win
