// Writing the event datagram: one line of seven colon-separated fields,
//   SendTime:RandomTag:AppName:SourceName:EventType:EventCode:MsgText
// e.g. "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files"
// with no terminator. Pure functions: no clock, no I/O, no locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace kv {

// Longest message text the sender writes; longer ones are cut to at most
// kMsgTextKeep bytes, ending on a character boundary, followed by "...".
inline constexpr std::size_t kMsgTextLimit = 200;
inline constexpr std::size_t kMsgTextKeep = 197;
// Longest datagram text the receiver takes, and so the longest the sender
// writes.
inline constexpr std::size_t kMaxDatagramText = 2048;
// Random tags are drawn below this bound.
inline constexpr std::int32_t kRandomTagBound = 99999;

// "yyyy/mm/dd hh.nn.ss": fixed "/" and "." whatever the locale, hour 00-23,
// fractions dropped (19 bytes for years 1 to 9999).
std::string FormatSendTime(const DateTimeParts& time);

// The message text as the sender writes it: whole below 200 bytes, else its
// first 197 bytes and "..." (bytes, not characters).
std::string CutMsgText(std::string_view msgText);

// The whole datagram text. AppName and SourceName go in unchanged (they must
// not hold ":"); the message text is cut by CutMsgText.
std::string BuildEventDatagram(const DateTimeParts& sendTime, std::int32_t randomTag, std::string_view appName,
                               std::string_view sourceName, std::int32_t eventType, std::int32_t eventCode,
                               std::string_view msgText);
// The same, appended to `out`, whose memory a caller may reuse.
void AppendEventDatagram(std::string& out, const DateTimeParts& sendTime, std::int32_t randomTag,
                         std::string_view appName, std::string_view sourceName, std::int32_t eventType,
                         std::int32_t eventCode, std::string_view msgText);

}  // namespace kv
