// The event log: RegisterEventSource / ReportEvent / DeregisterEventSource,
// the entries of the Application log that an administrator reads.
// POSIX: each entry is one datagram on the local syslog socket (facility
// daemon, the source name as its tag); event ids and categories are not kept.
#pragma once

#include "platform/types.h"

namespace win {

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

struct EventSourceObject;
using HEVENTLOG = EventSourceObject*;

// Opens an event source of the local machine (`server` must be null).
// Returns null with the last error set when no handle can be had.
// Safe from any thread.
HEVENTLOG RegisterEventSource(const char* server, const char* sourceName);

// Writes one entry whose text is the `numStrings` insertion strings joined
// by blanks. `sid`, `dataSize` and `data` are accepted and not written.
// Returns FALSE with ERROR_INVALID_HANDLE for a null or closed handle. When
// the log cannot take the entry it goes to standard error as
// "SOURCE: TEXT", so a person who started the program by hand still sees
// it, and counts as written. Safe from any thread; one handle may be used by
// several threads.
BOOL ReportEvent(HEVENTLOG source, WORD type, WORD category, DWORD eventId, const void* sid, WORD numStrings,
                 DWORD dataSize, const char** strings, const void* data);

// With `only` true, entries go to standard error and never to the log (a
// service run in a terminal). Safe from any thread.
void SetEventLogToStandardError(bool only);

// Closes the handle. Safe from any thread, once per handle.
BOOL DeregisterEventSource(HEVENTLOG source);

}  // namespace win
