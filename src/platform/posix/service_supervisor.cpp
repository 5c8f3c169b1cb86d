#include "platform/posix/service_supervisor.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/posix/notify_protocol.h"
#include "platform/service_control.h"

extern char** environ;

namespace win {

struct ServiceSupervisor::SavedMask {
  sigset_t mask;
};

namespace {

sigset_t SupervisedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP, SIGCHLD}) sigaddset(&set, sig);
  return set;
}

std::string ErrnoText(const char* what, int err) { return std::string(what) + ": " + std::strerror(err); }

// Owns the attribute objects posix_spawn needs.
struct SpawnSetup {
  posix_spawnattr_t attr;
  bool ready = false;
  SpawnSetup() { ready = posix_spawnattr_init(&attr) == 0; }
  ~SpawnSetup() {
    if (ready) posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Kills the child and whatever it started in its process group.
bool KillGroup(pid_t child) { return kill(-child, SIGKILL) == 0 || kill(child, SIGKILL) == 0; }

}  // namespace

ServiceSupervisor::ServiceSupervisor() : savedMask_(std::make_unique<SavedMask>()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/svcrun-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error(ErrnoText("cannot make a temporary folder", errno));
  folder_ = pattern;
  socketPath_ = folder_ + "/notify";

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof(addr.sun_path)) {
    rmdir(folder_.c_str());
    throw std::runtime_error("the temporary folder's path is too long for a socket: " + folder_);
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  notifyFd_.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!notifyFd_ || bind(notifyFd_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    notifyFd_.Reset();
    rmdir(folder_.c_str());
    throw std::runtime_error(ErrnoText("cannot make the notify socket", err));
  }

  sigset_t set = SupervisedSignals();
  sigprocmask(SIG_BLOCK, &set, &savedMask_->mask);
  signalFd_.Reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signalFd_) {
    int err = errno;
    sigprocmask(SIG_SETMASK, &savedMask_->mask, nullptr);
    notifyFd_.Reset();
    unlink(socketPath_.c_str());
    rmdir(folder_.c_str());
    throw std::runtime_error(ErrnoText("cannot take the signals", err));
  }
}

ServiceSupervisor::~ServiceSupervisor() {
  if (childId_ > 0) {
    KillGroup(childId_);
    int status = 0;
    while (waitpid(childId_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  signalFd_.Reset();
  notifyFd_.Reset();
  unlink(socketPath_.c_str());
  rmdir(folder_.c_str());
  sigprocmask(SIG_SETMASK, &savedMask_->mask, nullptr);
}

bool ServiceSupervisor::Start(const std::vector<std::string>& argv,
                              const std::vector<std::pair<std::string, std::string>>& extraEnv, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "no program to start";
    return false;
  }
  if (childId_ != 0) {
    error = "a child has been started already";
    return false;
  }

  // The environment: ours without the names we set, then ours.
  std::vector<std::pair<std::string, std::string>> set = extraEnv;
  set.emplace_back("NOTIFY_SOCKET", socketPath_);
  std::vector<std::string> envStrings;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : set) replaced = replaced || key == name;
    if (!replaced) envStrings.push_back(entry);
  }
  for (const auto& [key, value] : set) envStrings.push_back(key + "=" + value);

  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  // The child starts with our original mask and default dispositions, in a
  // process group of its own: a Ctrl+C at the terminal reaches only the
  // supervisor, which passes one stop request on.
  SpawnSetup setup;
  if (!setup.ready) {
    error = "cannot prepare the child";
    return false;
  }
  sigset_t defaults = SupervisedSignals();
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&setup.attr, &savedMask_->mask);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setpgroup(&setup.attr, 0);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argp[0], nullptr, &setup.attr, argp.data(), envp.data());
  if (rc != 0) {
    error = ErrnoText(("cannot start " + argv[0]).c_str(), rc);
    return false;
  }
  childId_ = pid;
  return true;
}

SupervisorEvent ServiceSupervisor::Wait(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    SupervisorEvent event;
    char buffer[8192];
    ssize_t n = recv(notifyFd_.Get(), buffer, sizeof(buffer), 0);
    if (n >= 0) {
      event.kind = SupervisorEvent::Kind::Notification;
      event.notification.assign(buffer, static_cast<std::size_t>(n));
      return event;
    }

    signalfd_siginfo info{};
    if (read(signalFd_.Get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
      event.kind = SupervisorEvent::Kind::Signal;
      switch (static_cast<int>(info.ssi_signo)) {
        case SIGINT: event.signal = SupervisorSignal::Interrupt; return event;
        case SIGTERM: event.signal = SupervisorSignal::Terminate; return event;
        case SIGUSR1: event.signal = SupervisorSignal::Pause; return event;
        case SIGUSR2: event.signal = SupervisorSignal::Continue; return event;
        case SIGHUP: event.signal = SupervisorSignal::Interrogate; return event;
        default: break;  // SIGCHLD: look at the child below
      }
    }

    if (childId_ > 0) {
      int status = 0;
      pid_t done = waitpid(childId_, &status, WNOHANG);
      if (done == childId_) {
        childId_ = -1;
        event.kind = SupervisorEvent::Kind::Exited;
        if (WIFEXITED(status)) {
          event.exitStatus = WEXITSTATUS(status);
          event.exitText = "exit code " + std::to_string(event.exitStatus);
        } else {
          int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
          event.exitStatus = 128 + sig;
          event.exitText = "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
        }
        return event;
      }
    }

    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return SupervisorEvent{};
      wait = static_cast<int>(left.count());
    }
    pollfd fds[2] = {{notifyFd_.Get(), POLLIN, 0}, {signalFd_.Get(), POLLIN, 0}};
    poll(fds, 2, wait);
    // Whatever woke the poll (or a timeout, or EINTR), look at everything again.
  }
}

bool ServiceSupervisor::Send(ChildSignal signal) {
  if (childId_ <= 0) return false;
  DWORD control = SERVICE_CONTROL_STOP;
  switch (signal) {
    case ChildSignal::Stop: control = SERVICE_CONTROL_STOP; break;
    case ChildSignal::Pause: control = SERVICE_CONTROL_PAUSE; break;
    case ChildSignal::Continue: control = SERVICE_CONTROL_CONTINUE; break;
    case ChildSignal::Interrogate: control = SERVICE_CONTROL_INTERROGATE; break;
    case ChildSignal::Shutdown: control = SERVICE_CONTROL_SHUTDOWN; break;
    case ChildSignal::Kill: return KillGroup(childId_);
  }
  return kill(childId_, SignalForControl(control)) == 0;
}

}  // namespace win
