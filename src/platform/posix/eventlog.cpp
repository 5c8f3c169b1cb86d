// The event log over the local syslog socket: each report becomes one
// datagram (syslog_format.h) sent to dev/log under the platform root, looked
// up at every report; when that socket cannot be reached the entry goes to
// standard error.
#include "platform/eventlog.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/codepage.h"
#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/posix/detail/unique_fd.h"
#include "platform/posix/detail/write_all.h"
#include "platform/posix/root.h"
#include "platform/posix/syslog_format.h"

namespace win {

// One registered source: its name and the datagram socket its reports
// leave through. The socket is not connected: the target path is looked up
// at every report, so a restarted syslog daemon or another platform root is
// picked up.
struct EventSourceObject {
  std::string name;
  detail::UniqueFd fd;
};

namespace {

constexpr int kFacilityDaemon = 3;
// A stalled syslog daemon may hold a report this long before the entry goes
// to standard error instead.
constexpr int kSendTimeoutSeconds = 1;

// Live handles, so that a stale or foreign handle fails cleanly instead of
// being used, and a source being reported to outlives its deregistration.
detail::HandleTable<HEVENTLOG, EventSourceObject>& Sources() {
  static detail::HandleTable<HEVENTLOG, EventSourceObject> table;
  return table;
}

std::atomic<bool> gStandardErrorOnly{false};

void WriteToStandardError(const std::string& source, const std::string& message) {
  std::string line = source + ": " + message + "\n";
  detail::WriteAll(STDERR_FILENO, line.data(), line.size());
}

// Sends one datagram to <root>/dev/log; false when the socket cannot be
// reached (missing, refused, path too long, stalled).
bool SendToSyslog(int fd, const std::string& datagram) {
  std::string path = PlatformPath("/dev/log");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  for (;;) {
    ssize_t n = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                       static_cast<socklen_t>(sizeof(addr)));
    if (n >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

int SyslogSeverity(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return 3;
    case EVENTLOG_WARNING_TYPE: return 4;
    default: return 6;
  }
}

std::string SyslogDatagram(WORD type, std::string_view tag, DWORD processId, const SYSTEMTIME& localTime,
                           std::string_view message) {
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int month = (localTime.wMonth >= 1 && localTime.wMonth <= 12) ? localTime.wMonth - 1 : 0;
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "<%d>%s %2u %02u:%02u:%02u ", kFacilityDaemon * 8 + SyslogSeverity(type),
                kMonths[month], static_cast<unsigned>(localTime.wDay), static_cast<unsigned>(localTime.wHour),
                static_cast<unsigned>(localTime.wMinute), static_cast<unsigned>(localTime.wSecond));
  std::string text = stamp;
  text += tag;
  text += '[';
  text += std::to_string(processId);
  text += "]: ";
  std::size_t room = text.size() < kMaxEventDatagram ? kMaxEventDatagram - text.size() : 0;
  text += message.substr(0, AnsiPrefixLength(message, room));
  return text;
}

void SetEventLogToStandardError(bool only) { gStandardErrorOnly = only; }

HEVENTLOG RegisterEventSource(const char* server, const char* sourceName) {
  if ((server && *server) || !sourceName || !*sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto source = std::make_shared<EventSourceObject>();
  source->name = sourceName;
  source->fd.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!source->fd) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  timeval timeout{kSendTimeoutSeconds, 0};
  setsockopt(source->fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  return Sources().Add(std::move(source));
}

BOOL ReportEvent(HEVENTLOG handle, WORD type, WORD /*category*/, DWORD /*eventId*/, const void* /*sid*/,
                 WORD numStrings, DWORD /*dataSize*/, const char** strings, const void* /*data*/) {
  std::shared_ptr<const EventSourceObject> source = Sources().Find(handle);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  std::string message;
  for (WORD i = 0; i < numStrings && strings; ++i) {
    if (i > 0) message += ' ';
    if (strings[i]) message += strings[i];
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::string datagram = SyslogDatagram(type, source->name, static_cast<DWORD>(getpid()), now, message);
  if (gStandardErrorOnly.load() || !SendToSyslog(source->fd.Get(), datagram))
    WriteToStandardError(source->name, message);
  return TRUE_;
}

BOOL DeregisterEventSource(HEVENTLOG source) {
  if (!Sources().Remove(source)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE_;
  }
  return TRUE_;
}

}  // namespace win
