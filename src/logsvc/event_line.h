// From a received datagram to the fields of an event and its log line.
// Pure functions: no I/O, no clock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

// The seven fields of an event datagram, as 8-bit texts.
struct EventFields {
  std::string SendTime;
  std::string RandomTag;
  std::string AppName;
  std::string SourceName;
  std::string EventType;
  std::string EventCode;
  std::string MsgText;
};

// Marker at the head of AppName for datagrams whose SourceName and MsgText
// are UTF-8.
inline constexpr std::string_view kUtf8Marker = "$A$";
// Head of MsgText that asks for the buffer to be saved at once.
inline constexpr std::string_view kFlushCommand = "$FLUSHLOG$";
// First line of every buffer.
inline constexpr std::string_view kBanner = "** KVLogService 1.0 KVS-7000 **";

// The datagram text: the received bytes up to the first NUL byte.
std::string_view DatagramText(std::string_view received);

// Splits a datagram text into its fields:
//   "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files"
//   -> SendTime "2024/03/05 14:07:09", RandomTag "4711", AppName "Backup",
//      SourceName "JobRunner", EventType "2", EventCode "1007",
//      MsgText "Copy finished: 12 files"
// Bytes 14 and 17 become ":" (the time's "." separators); bytes 1..19 are
// SendTime and byte 20 is dropped whatever it holds. The next five fields
// are each cut at the first ":"; when none remains they are empty and the
// rest is MsgText. A text too short to have byte 14 or 17 keeps what it has.
EventFields SplitDatagram(std::string_view text);

// UTF-8 as event senders write it: a byte below 0x80 is a character; any
// other byte leads a sequence of three bytes when its bit 0x20 is set and of
// two otherwise; continuation bytes must be 0x80..0xBF. Overlong forms pass.
// A bad continuation byte or a sequence cut off by the end gives no value
// (the field then becomes empty).
std::optional<std::u16string> DecodeUtf8Field(std::string_view bytes);

// "%s %-10.10s %-20.20s %1.1s %s" of SendTime, AppName, SourceName,
// EventType, MsgText (widths in bytes), each field's control bytes (0x00 to
// 0x1F but TAB, and 0x7F) first written as "#" and three octal digits, so
// that an event is always one line: "a\r\nb" -> "a#015#012b". A column's cut falls before a
// character of the ANSI code page that would not fit whole; blanks fill
// the bytes it leaves.
std::string FormatLogLine(const EventFields& fields);

// EventType as an integer for the relay: 0 when it does not convert.
std::int32_t EventTypeValue(std::string_view eventType);

}  // namespace kv
