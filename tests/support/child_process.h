// Runs an executable as a child process for a test, with extra environment
// variables and its standard output and error captured in files.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace kvtest {

// Owns the child process (killed and reaped at destruction if it still
// runs) and the files that capture its output. One thread at a time.
class ChildProcess {
 public:
  // Starts `program` with `args` (argv[1...]); `env` entries are added to,
  // or replace, this process's environment; a pair whose value is nullopt
  // removes the variable. Throws std::runtime_error when it cannot start.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::optional<std::string>>>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  // Sends a signal; false when the child has been reaped already.
  bool Signal(int sig);

  // Waits for the end of the child, at most `timeout`. Returns its exit code,
  // or 128 + the signal number that ended it; nullopt while it still runs.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  TempDir dir_;
  int pid_ = -1;
  std::optional<int> exitCode_;
};

}  // namespace kvtest
