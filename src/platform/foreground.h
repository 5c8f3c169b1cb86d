// Running a service process without a service manager: the process plays
// its own, so that a person can run the service in a terminal.
#pragma once

#include <memory>
#include <string>

namespace win {

// While it exists, StartServiceCtrlDispatcher runs the service without a
// service manager: the status of every report is printed on standard error
// as "<prefix>: <text>", and event log entries go to standard error only.
// Made on the main thread before the dispatcher starts; at destruction the
// reports still queued are printed and everything is restored.
// POSIX: NOTIFY_SOCKET names a notify socket of this object (in the abstract
// namespace, unique to the process), read by a thread of its own.
class ForegroundServiceManager {
 public:
  // Throws std::runtime_error with the reason when the socket cannot be made.
  explicit ForegroundServiceManager(std::string prefix);
  ~ForegroundServiceManager();
  ForegroundServiceManager(const ForegroundServiceManager&) = delete;
  ForegroundServiceManager& operator=(const ForegroundServiceManager&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace win
