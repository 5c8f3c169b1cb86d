// The event log entry as a syslog datagram, the way the C library writes one
// on the local machine: "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG", facility
// daemon, the source name as TAG and the insertion strings as MSG. Pure;
// safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/types.h"

namespace win {

// The longest datagram a report sends (rsyslog's default message limit);
// longer texts are cut at a character boundary of the ANSI code page.
constexpr std::size_t kMaxEventDatagram = 8096;

// The syslog severity of an event type: 3 (err) for errors, 4 (warning) for
// warnings, 6 (info) for everything else.
int SyslogSeverity(WORD type);

// The datagram text of one entry: "<PRI>Mmm dd hh:mm:ss TAG[PID]: MSG" with
// PRI = 3 (daemon) * 8 + severity and the day of the month padded with a
// blank, MSG cut to keep the whole text within kMaxEventDatagram bytes.
std::string SyslogDatagram(WORD type, std::string_view tag, DWORD processId, const SYSTEMTIME& localTime,
                           std::string_view message);

}  // namespace win
