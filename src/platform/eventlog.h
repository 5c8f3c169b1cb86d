// The event log: RegisterEventSource / ReportEvent / DeregisterEventSource.
//
// Each report becomes one syslog datagram as the C library writes it on the
// local machine, "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG", with facility daemon,
// the source name as TAG and the insertion strings as MSG, sent to the local
// syslog socket (dev/log under the platform root, looked up at every report).
// When that socket cannot be reached the entry goes to standard error as
// "SOURCE: MSG", so a person who starts the program by hand still sees it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/types.h"

namespace win {

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// The longest datagram a report sends (rsyslog's default message limit);
// longer texts are cut at a character boundary of the ANSI code page.
constexpr std::size_t kMaxEventDatagram = 8096;

struct EventSourceObject;
using HEVENTLOG = EventSourceObject*;

// Opens an event source of the local machine (`server` must be null).
// Returns null with the last error set when no handle can be had.
// Safe from any thread.
HEVENTLOG RegisterEventSource(const char* server, const char* sourceName);

// Writes one entry: the `numStrings` insertion strings joined by blanks.
// `sid`, `dataSize` and `data` are accepted and not written. Returns FALSE
// with ERROR_INVALID_HANDLE for a null handle. An entry that ends up on
// standard error still counts as written. Safe from any thread; one handle
// may be used by several threads.
BOOL ReportEvent(HEVENTLOG source, WORD type, WORD category, DWORD eventId, const void* sid, WORD numStrings,
                 DWORD dataSize, const char** strings, const void* data);

// With `only` true, entries go to standard error and never to the syslog
// socket (a service run in a terminal). Safe from any thread.
void SetEventLogToStandardError(bool only);

// Closes the handle. Safe from any thread, once per handle.
BOOL DeregisterEventSource(HEVENTLOG source);

// The syslog severity of an event type: 3 (err) for errors, 4 (warning) for
// warnings, 6 (info) for everything else.
int SyslogSeverity(WORD type);

// The datagram text of one entry: "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG" with
// PRI = 3 (daemon) * 8 + severity and the day of the month padded with a
// blank, MSG cut to keep the whole text within kMaxEventDatagram bytes.
std::string SyslogDatagram(WORD type, std::string_view tag, DWORD processId, const SYSTEMTIME& localTime,
                           std::string_view message);

}  // namespace win
