// The service manager's side of the notify protocol, for one child process:
// a notify socket at a fresh temporary path, the child started with
// NOTIFY_SOCKET naming it, the supervisor's own stop and control signals
// taken synchronously, and the child's end. One wait returns whichever of
// these comes next, notifications first, so a child's last reports are
// always seen before its end.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/detail/unique_fd.h"
#include "platform/types.h"

namespace win {

// A signal the supervising process received.
enum class SupervisorSignal { Interrupt, Terminate, Pause, Continue, Interrogate };

// What the child is sent.
enum class ChildSignal { Stop, Pause, Continue, Interrogate, Shutdown, Kill };

struct SupervisorEvent {
  enum class Kind { Timeout, Notification, Signal, Exited };
  Kind kind = Kind::Timeout;
  std::string notification;                               // Notification: the datagram
  SupervisorSignal signal = SupervisorSignal::Terminate;  // Signal
  int exitStatus = 0;                                     // Exited: the exit code, or 128 + the signal number
  std::string exitText;                                   // Exited: "exit code 0", "killed by signal 9 (Killed)"
};

// Owns the notify socket and its folder, the child process, and the signal
// mask of the supervising process (restored at destruction; a child still
// running then is killed with its process group and reaped). The child runs
// in a process group of its own. Single-threaded use only.
class ServiceSupervisor {
 public:
  // Throws std::runtime_error with the reason when the socket cannot be made.
  ServiceSupervisor();
  ~ServiceSupervisor();
  ServiceSupervisor(const ServiceSupervisor&) = delete;
  ServiceSupervisor& operator=(const ServiceSupervisor&) = delete;

  const std::string& NotifySocketPath() const { return socketPath_; }

  // Starts argv[0] (looked up on PATH when it names no folder) with `argv`,
  // this process's environment plus NOTIFY_SOCKET and `extraEnv`. Returns
  // false with a readable reason in `error`. Once per supervisor.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& extraEnv,
             std::string& error);

  // Waits up to `timeoutMs` (negative: without limit) for the next event.
  SupervisorEvent Wait(int timeoutMs);

  // Sends the child a signal: stop SIGTERM, pause SIGUSR1, continue SIGUSR2,
  // interrogate SIGHUP, shutdown SIGPWR; kill is SIGKILL to the child and
  // every process it started in its process group. False when no child runs.
  bool Send(ChildSignal signal);

  bool ChildRunning() const { return childId_ > 0; }

 private:
  struct SavedMask;

  std::string folder_;
  std::string socketPath_;
  detail::UniqueFd notifyFd_;
  detail::UniqueFd signalFd_;
  int childId_ = 0;
  std::unique_ptr<SavedMask> savedMask_;
};

}  // namespace win
