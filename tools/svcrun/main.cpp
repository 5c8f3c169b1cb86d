// svcrun: plays the service manager for one service process. See Usage().
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/notify_protocol.h"
#include "platform/posix/service_supervisor.h"
#include "platform/service_control.h"
#include "status_line.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kStartError = 127;

void Usage(std::FILE* out) {
  std::fputs(
      "Usage: kvsvcrun [OPTIONS] [--] PROGRAM [ARGUMENTS...]\n"
      "\n"
      "Plays the service manager for one service process, as systemd does for a\n"
      "Type=notify unit: starts PROGRAM with its ARGUMENTS and NOTIFY_SOCKET naming a\n"
      "fresh notify socket, and prints every status report the service sends (state,\n"
      "checkpoint, accepted controls, wait hint, exit codes when set, status text).\n"
      "\n"
      "Signals to svcrun are passed on to the service:\n"
      "  Ctrl+C (SIGINT), SIGTERM   stop request (SIGTERM to the service)\n"
      "  SIGUSR1                    pause request\n"
      "  SIGUSR2                    continue request\n"
      "  SIGHUP                     interrogate request\n"
      "\n"
      "svcrun ends when the service process ends, with the service's exit code (or\n"
      "128 + the number of the signal that ended it).\n"
      "\n"
      "Options:\n"
      "  --root DIR             run the service with KV_PLATFORM_ROOT=DIR, the folder\n"
      "                         under which it finds its emulated system locations\n"
      "  --start-timeout SECS   kill the service (SIGKILL) when it has not reported\n"
      "                         RUNNING within SECS seconds (default: no limit)\n"
      "  -h, --help             show this help and exit\n"
      "  --version              show the version and exit\n"
      "\n"
      "Exit codes of svcrun itself: 2 for a wrong command line, 127 when PROGRAM\n"
      "cannot be started.\n",
      out);
}

struct Options {
  std::vector<std::string> command;
  std::string root;
  int startTimeoutSeconds = -1;
};

// Parses the command line; returns an exit code when svcrun should end.
std::optional<int> Parse(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("kvsvcrun (svcrun) %s\n", KV_VERSION);
      return 0;
    }
    if (arg == "--root" || arg == "--start-timeout") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "svcrun: %s needs a value\n", arg.c_str());
        return kUsageError;
      }
      std::string value = argv[++i];
      if (arg == "--root") {
        if (value.empty()) {
          std::fprintf(stderr, "svcrun: --root needs a folder\n");
          return kUsageError;
        }
        options.root = value;
      } else {
        char* end = nullptr;
        long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds <= 0 || seconds > 86400) {
          std::fprintf(stderr, "svcrun: --start-timeout needs a number of seconds from 1 to 86400, not '%s'\n",
                       value.c_str());
          return kUsageError;
        }
        options.startTimeoutSeconds = static_cast<int>(seconds);
      }
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "svcrun: unknown option '%s' (see svcrun --help)\n", arg.c_str());
      return kUsageError;
    }
    break;
  }
  for (; i < argc; ++i) options.command.emplace_back(argv[i]);
  if (options.command.empty()) {
    std::fprintf(stderr, "svcrun: no program given (see svcrun --help)\n");
    return kUsageError;
  }
  return std::nullopt;
}

void Say(const std::string& line) {
  std::printf("svcrun: %s\n", line.c_str());
  std::fflush(stdout);
}

int Run(const Options& options) {
  win::ServiceSupervisor supervisor;
  std::vector<std::pair<std::string, std::string>> env;
  if (!options.root.empty()) env.emplace_back("KV_PLATFORM_ROOT", options.root);
  std::string error;
  if (!supervisor.Start(options.command, env, error)) {
    std::fprintf(stderr, "svcrun: %s\n", error.c_str());
    return kStartError;
  }
  Say("started " + options.command[0]);

  // Until the first RUNNING report the start timeout, if any, is watched.
  bool watchingStart = options.startTimeoutSeconds > 0;
  auto startDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.startTimeoutSeconds);
  for (;;) {
    int waitMs = -1;
    if (watchingStart) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(startDeadline - std::chrono::steady_clock::now());
      waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    win::SupervisorEvent event = supervisor.Wait(waitMs);
    switch (event.kind) {
      case win::SupervisorEvent::Kind::Timeout:
        if (watchingStart && std::chrono::steady_clock::now() >= startDeadline) {
          Say("no RUNNING report within " + std::to_string(options.startTimeoutSeconds) + " s; killing the service");
          supervisor.Send(win::ChildSignal::Kill);
          watchingStart = false;
        }
        break;
      case win::SupervisorEvent::Kind::Notification: {
        Say(kv::DescribeNotification(event.notification));
        auto status = win::ParseNotifyStatus(event.notification);
        if (status && status->state == win::SERVICE_RUNNING) watchingStart = false;
        break;
      }
      case win::SupervisorEvent::Kind::Signal:
        switch (event.signal) {
          case win::SupervisorSignal::Interrupt:
          case win::SupervisorSignal::Terminate:
            Say("stop requested; sending SIGTERM");
            supervisor.Send(win::ChildSignal::Stop);
            break;
          case win::SupervisorSignal::Pause:
            Say("pause requested; sending SIGUSR1");
            supervisor.Send(win::ChildSignal::Pause);
            break;
          case win::SupervisorSignal::Continue:
            Say("continue requested; sending SIGUSR2");
            supervisor.Send(win::ChildSignal::Continue);
            break;
          case win::SupervisorSignal::Interrogate:
            Say("interrogate requested; sending SIGHUP");
            supervisor.Send(win::ChildSignal::Interrogate);
            break;
        }
        break;
      case win::SupervisorEvent::Kind::Exited: Say("service ended: " + event.exitText); return event.exitStatus;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto exitCode = Parse(argc, argv, options)) return *exitCode;
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "svcrun: %s\n", e.what());
    return 1;
  }
}
