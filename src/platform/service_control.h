// The service manager's calls a service process makes while it runs:
// StartServiceCtrlDispatcher, RegisterServiceCtrlHandler, SetServiceStatus.
// POSIX: the service manager is systemd (or svcrun) and its control
// requests are signals: SIGTERM or SIGINT stop, SIGUSR1 pause, SIGUSR2
// continue, SIGHUP interrogate, SIGPWR shutdown, SIGRTMIN+n custom 128+n.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/types.h"

namespace win {

// dwServiceType
constexpr DWORD SERVICE_KERNEL_DRIVER = 0x00000001;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;
constexpr DWORD SERVICE_INTERACTIVE_PROCESS = 0x00000100;

// Start types and error control (installation).
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

// dwCurrentState
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// dwControlsAccepted
constexpr DWORD SERVICE_ACCEPT_STOP = 0x00000001;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x00000002;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x00000004;

// Control codes.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_CUSTOM_FIRST = 128;

struct SERVICE_STATUS {
  DWORD dwServiceType = 0;
  DWORD dwCurrentState = 0;
  DWORD dwControlsAccepted = 0;
  DWORD dwWin32ExitCode = 0;
  DWORD dwServiceSpecificExitCode = 0;
  DWORD dwCheckPoint = 0;
  DWORD dwWaitHint = 0;
};

using LPSERVICE_MAIN_FUNCTION = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

// One entry of a service table; the table ends with an entry of two nulls.
struct SERVICE_TABLE_ENTRY {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTION lpServiceProc;
};

struct ServiceStatusObject;
using SERVICE_STATUS_HANDLE = ServiceStatusObject*;

// Call first thing in the program entry, before any thread exists: makes
// the process ready for the service manager's controls and keeps the system
// from stopping it with questions nobody answers. Lasts for the process.
// Main thread only. POSIX: blocks the control signals, so that every thread
// created later inherits the mask and only the dispatcher takes them, and
// ignores SIGPIPE.
void PrepareServiceProcess();

// Keeps the service manager's controls from reaching the calling thread
// while it lives (tests, tools). Owned and destroyed by the thread that made
// it. POSIX: blocks the control signals and restores the thread's previous
// mask afterwards. Windows: does nothing (controls come as calls).
class ScopedServiceSignalBlock {
 public:
  ScopedServiceSignalBlock();
  ~ScopedServiceSignalBlock();
  ScopedServiceSignalBlock(const ScopedServiceSignalBlock&) = delete;
  ScopedServiceSignalBlock& operator=(const ScopedServiceSignalBlock&) = delete;

 private:
  struct SavedMask;
  std::unique_ptr<SavedMask> saved_;
};

// Connects to the service manager and runs the service-main function of the
// table's single entry on a new thread with argc 1 and argv {name}. Control
// requests are handed to the registered handler; a control the last status
// report did not accept (stop, pause, continue, shutdown) is not delivered,
// as the service manager refuses it. Returns TRUE once the service has
// reported SERVICE_STOPPED and its service-main function has returned (or
// when it returned without ever registering a handler, as then nothing can
// report any more). Fails at once with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063) when the service manager
// did not start the process, with ERROR_INVALID_PARAMETER for a table that
// does not hold exactly one service, with ERROR_SERVICE_ALREADY_RUNNING
// while another dispatcher runs. Blocks the calling thread.
// POSIX: the service manager is the one NOTIFY_SOCKET names (a path, or
// "@name" in the abstract namespace); the control signals are taken on the
// calling thread and the handler runs there.
BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table);

// What a person who started `program` by hand, without the service manager,
// can do instead on this system: the command that starts the installed
// service `service` and the ways of running it from a shell. Pure.
std::string RunByHandAdvice(const std::string& program, const std::string& service);

// Registers the control handler of the running service `name` (compared
// without regard to letter case). Returns the handle for status reports, or
// null with ERROR_SERVICE_NOT_IN_EXE when no dispatcher runs that service.
// Safe from any thread; meant for the service-main thread.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION handler);

// Reports the service's status to the service manager. Fails with
// ERROR_INVALID_HANDLE for a handle of no running dispatcher,
// ERROR_INVALID_PARAMETER for a null status, or the error of the report.
// Safe from any thread.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Sets the service's own text that the service manager shows beside the
// state ("Running · 12 events · ..."), and keeps it for every status report
// after (see ServiceStatusNotification). A new text goes out at once, beside
// the state last reported, without a report of its own; a text equal to the
// one in force sends nothing; an empty one (or null) leaves the state alone.
// A service manager that keeps no such text (Windows' own) ignores it, and so
// may a backend for it. Fails as SetServiceStatus does; the text is kept
// even when the report fails. Safe from any thread.
BOOL SetServiceStatusText(SERVICE_STATUS_HANDLE handle, const char* text);

}  // namespace win
