// The service side of the service manager on POSIX.
//
// The service manager here is systemd (or svcrun) speaking the notify
// protocol: the process is started with NOTIFY_SOCKET naming a datagram
// socket, every status report becomes one notify datagram on it, and control
// requests arrive as signals. The signals are blocked in every thread of the
// process and taken synchronously by the dispatcher thread, which calls the
// registered handler with the control code:
//   SIGTERM, SIGINT -> 1 (stop)      SIGUSR1 -> 2 (pause)
//   SIGUSR2 -> 3 (continue)          SIGHUP  -> 4 (interrogate)
//   SIGPWR  -> 5 (shutdown)          SIGRTMIN+n -> 128+n (custom)
// SIGCONT (sent by systemd after SIGTERM) does nothing.
//
// Each status report is one notify datagram (ServiceStatusNotification in
// notify_protocol.h).
#include "platform/service_control.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/common/service_dispatch.h"
#include "platform/error.h"
#include "platform/posix/detail/ascii.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/notify_protocol.h"

namespace win {

// Status handles carry the number of the dispatcher run that issued them;
// no object stands behind them, so a handle of a finished run is refused
// instead of being followed.
struct ServiceStatusObject {};

namespace {

// A report the service manager does not take within this time fails
// instead of blocking the service for good.
constexpr int kNotifySendTimeoutSeconds = 10;

sigset_t ControlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
  return set;
}

// The one dispatcher run of the process. All fields are guarded by `mutex`.
struct Session {
  std::mutex mutex;
  bool running = false;
  std::uintptr_t id = 0;  // number of the current run; handles carry it
  std::string serviceName;
  LPHANDLER_FUNCTION handler = nullptr;
  bool registered = false;
  int notifyFd = -1;
  int wakeFd = -1;
  bool readySent = false;
  bool stoppedReported = false;
  bool mainReturned = false;
  DWORD accepted = 0;
  // The last report sent, and the service's own text beside it.
  bool reported = false;
  SERVICE_STATUS lastStatus{};
  std::string statusText;
  bool statusTextSent = false;  // the manager has the text in force
};

Session& TheSession() {
  static Session session;
  return session;
}

SERVICE_STATUS_HANDLE HandleFor(std::uintptr_t id) { return reinterpret_cast<SERVICE_STATUS_HANDLE>(id); }

void Wake(int wakeFd) {
  std::uint64_t one = 1;
  while (write(wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

// The notify socket address from NOTIFY_SOCKET; false when unset or unusable.
bool NotifyAddress(sockaddr_un& addr, socklen_t& length) {
  const char* value = std::getenv("NOTIFY_SOCKET");
  if (!value || !*value) return false;
  std::size_t size = std::strlen(value);
  if (size >= sizeof(addr.sun_path)) return false;
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, value, size);
  if (value[0] == '@') {
    if (size == 1) return false;
    addr.sun_path[0] = '\0';  // abstract namespace, no trailing NUL counted
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
  } else {
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + 1);
  }
  return true;
}

// Sends one datagram to the notify socket; 0 or the errno of the failure.
int SendNotification(int notifyFd, const std::string& text, int flags) {
  ssize_t sent;
  do {
    sent = send(notifyFd, text.data(), text.size(), MSG_NOSIGNAL | flags);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? errno : 0;
}

}  // namespace

void PrepareServiceProcess() {
  sigset_t set = ControlSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

struct ScopedServiceSignalBlock::SavedMask {
  sigset_t mask;
};

ScopedServiceSignalBlock::ScopedServiceSignalBlock() : saved_(std::make_unique<SavedMask>()) {
  sigset_t set = ControlSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, &saved_->mask);
}

ScopedServiceSignalBlock::~ScopedServiceSignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr); }

BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table) {
  sockaddr_un addr{};
  socklen_t addrLength = 0;
  if (!NotifyAddress(addr, addrLength)) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE_;
  }
  if (!detail::HoldsOneService(table)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }

  detail::UniqueFd notifyFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (notifyFd.Get() < 0 || connect(notifyFd.Get(), reinterpret_cast<sockaddr*>(&addr), addrLength) != 0) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE_;
  }
  timeval timeout{kNotifySendTimeoutSeconds, 0};
  setsockopt(notifyFd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));

  // The service-main thread made below inherits this thread's mask.
  ScopedServiceSignalBlock block;
  sigset_t signals = ControlSignalSet();
  detail::UniqueFd signalFd(signalfd(-1, &signals, SFD_CLOEXEC));
  detail::UniqueFd wakeFd(eventfd(0, EFD_CLOEXEC));
  if (signalFd.Get() < 0 || wakeFd.Get() < 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE_;
  }

  Session& session = TheSession();
  std::string name = table[0].lpServiceName;
  LPSERVICE_MAIN_FUNCTION serviceMain = table[0].lpServiceProc;
  {
    std::lock_guard lock(session.mutex);
    if (session.running) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE_;
    }
    session.running = true;
    ++session.id;
    session.serviceName = name;
    session.handler = nullptr;
    session.registered = false;
    session.notifyFd = notifyFd.Get();
    session.wakeFd = wakeFd.Get();
    session.readySent = false;
    session.stoppedReported = false;
    session.mainReturned = false;
    session.accepted = 0;
    session.reported = false;
    session.lastStatus = SERVICE_STATUS{};
    session.statusText.clear();
    session.statusTextSent = false;
  }
  auto endSession = [&session] {
    std::lock_guard lock(session.mutex);
    session.running = false;
    session.handler = nullptr;
    session.notifyFd = -1;
    session.wakeFd = -1;
  };

  std::thread mainThread;
  try {
    mainThread = std::thread([serviceMain, name, &session] {
      std::string argument = name;
      char* argv[2] = {argument.data(), nullptr};
      try {
        serviceMain(1, argv);
      } catch (...) {
        // A failure escaping the service-main function ends it like a return.
      }
      std::lock_guard lock(session.mutex);
      session.mainReturned = true;
      Wake(session.wakeFd);
    });
  } catch (const std::system_error& e) {
    endSession();
    SetLastError(ErrorFromErrno(e.code().value()));
    return FALSE_;
  }

  // A stop or shutdown that came while the service took none (while it
  // starts, say): systemd sends its SIGTERM once, so it is kept and passed
  // on as soon as a report accepts it, instead of being lost.
  DWORD deferredStop = 0;
  for (;;) {
    LPHANDLER_FUNCTION deferredHandler = nullptr;
    {
      std::lock_guard lock(session.mutex);
      if (session.mainReturned && (session.stoppedReported || !session.registered)) break;
      if (deferredStop != 0 && session.registered && detail::ControlAccepted(deferredStop, session.accepted)) {
        deferredHandler = session.handler;
      }
    }
    if (deferredHandler) {
      const DWORD control = deferredStop;
      deferredStop = 0;
      try {
        deferredHandler(control);
      } catch (...) {
        // As below: the dispatcher goes on.
      }
      continue;
    }
    pollfd fds[2] = {{signalFd.Get(), POLLIN, 0}, {wakeFd.Get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;  // EINTR: look again
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      while (read(wakeFd.Get(), &count, sizeof(count)) < 0 && errno == EINTR) {
      }
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd.Get(), &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) continue;
      DWORD control = ControlForSignal(static_cast<int>(info.ssi_signo));
      LPHANDLER_FUNCTION handler = nullptr;
      {
        std::lock_guard lock(session.mutex);
        if (control != 0 && session.registered && detail::ControlAccepted(control, session.accepted)) {
          handler = session.handler;
        } else if ((control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) &&
                   !session.stoppedReported && deferredStop == 0) {
          deferredStop = control;
        }
      }
      if (handler) {
        try {
          handler(control);
        } catch (...) {
          // A handler has no way to report a failure; the dispatcher goes on.
        }
      }
    }
  }
  mainThread.join();
  endSession();
  return TRUE_;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION handler) {
  Session& session = TheSession();
  std::lock_guard lock(session.mutex);
  if (!name || !session.running || !detail::EqualsNoCase(name, session.serviceName)) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  session.handler = handler;
  session.registered = true;
  return HandleFor(session.id);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE_;
  }
  Session& session = TheSession();
  std::lock_guard lock(session.mutex);
  if (!handle || !session.running || !session.registered || handle != HandleFor(session.id)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  bool firstRunning = status->dwCurrentState == SERVICE_RUNNING && !session.readySent;
  std::string text = ServiceStatusNotification(*status, firstRunning, session.statusText);
  const int sendError = SendNotification(session.notifyFd, text, 0);
  session.reported = true;
  session.statusTextSent = sendError == 0;
  session.lastStatus = *status;
  // The state is the service's own whether or not the manager heard it: a
  // notify socket that has gone must not leave the dispatcher waiting for a
  // stop that was reported, nor keep controls the service no longer takes.
  // The dispatcher looks again: a kept stop may pass now.
  if (status->dwControlsAccepted != session.accepted) Wake(session.wakeFd);
  session.accepted = status->dwControlsAccepted;
  if (status->dwCurrentState == SERVICE_STOPPED) {
    session.stoppedReported = true;
    Wake(session.wakeFd);
  }
  if (sendError != 0) {
    SetLastError(ErrorFromErrno(sendError));
    return FALSE_;
  }
  session.readySent = session.readySent || firstRunning;
  return TRUE_;
}

BOOL SetServiceStatusText(SERVICE_STATUS_HANDLE handle, const char* text) {
  Session& session = TheSession();
  std::lock_guard lock(session.mutex);
  if (!handle || !session.running || !session.registered || handle != HandleFor(session.id)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  const std::string_view fresh = text ? text : "";
  if (fresh == session.statusText && session.statusTextSent) return TRUE_;
  session.statusText = fresh;
  // Before the first report there is no state to show it beside; the first
  // report carries it.
  if (!session.reported) return TRUE_;
  // Never waits for a manager that does not read: the text comes from
  // threads that must not stall (the intake's), and the next text or report
  // brings it anyway.
  const int sendError = SendNotification(
      session.notifyFd, ServiceStatusTextNotification(session.lastStatus, session.statusText), MSG_DONTWAIT);
  session.statusTextSent = sendError == 0;
  if (sendError != 0) {
    SetLastError(ErrorFromErrno(sendError));
    return FALSE_;
  }
  return TRUE_;
}

std::string RunByHandAdvice(const std::string& program, const std::string& service) {
  return "run it under systemd (systemctl start " + service + "), with " + program +
         " --foreground, or with kvsvcrun " + program;
}

}  // namespace win
