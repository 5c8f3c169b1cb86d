#include "net/event_datagram.h"

#include <charconv>

#include "platform/codepage.h"

namespace kv {
namespace {

// At least `width` decimal digits, zero-padded, in one append.
void AppendPadded(std::string& out, int value, int width) {
  char digits[24];
  const long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
  char* const end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
  const int length = static_cast<int>(end - digits);
  if (value < 0) out += '-';
  if (length < width) out.append(static_cast<std::size_t>(width - length), '0');
  out.append(digits, end);
}

void AppendNumber(std::string& out, std::int32_t value) {
  char digits[16];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendSendTime(std::string& out, const DateTimeParts& time) {
  AppendPadded(out, time.year, 4);
  out += '/';
  AppendPadded(out, time.month, 2);
  out += '/';
  AppendPadded(out, time.day, 2);
  out += ' ';
  AppendPadded(out, time.hour, 2);
  out += '.';
  AppendPadded(out, time.minute, 2);
  out += '.';
  AppendPadded(out, time.second, 2);
}

}  // namespace

std::string FormatSendTime(const DateTimeParts& time) {
  std::string out;
  out.reserve(19);
  AppendSendTime(out, time);
  return out;
}

std::string CutMsgText(std::string_view msgText) {
  if (msgText.size() < kMsgTextLimit) return std::string(msgText);
  std::string cut(msgText.substr(0, win::AnsiPrefixLength(msgText, kMsgTextKeep)));
  cut += "...";
  return cut;
}

std::string BuildEventDatagram(const DateTimeParts& sendTime, std::int32_t randomTag, std::string_view appName,
                               std::string_view sourceName, std::int32_t eventType, std::int32_t eventCode,
                               std::string_view msgText) {
  std::string text;
  AppendEventDatagram(text, sendTime, randomTag, appName, sourceName, eventType, eventCode, msgText);
  return text;
}

void AppendEventDatagram(std::string& text, const DateTimeParts& sendTime, std::int32_t randomTag,
                         std::string_view appName, std::string_view sourceName, std::int32_t eventType,
                         std::int32_t eventCode, std::string_view msgText) {
  text.reserve(text.size() + 19 + 1 + 5 + 1 + appName.size() + 1 + sourceName.size() + 1 + 11 + 1 + 11 + 1 +
               kMsgTextLimit);
  AppendSendTime(text, sendTime);
  text += ':';
  AppendNumber(text, randomTag);
  text += ':';
  text += appName;
  text += ':';
  text += sourceName;
  text += ':';
  AppendNumber(text, eventType);
  text += ':';
  AppendNumber(text, eventCode);
  text += ':';
  if (msgText.size() < kMsgTextLimit) {
    text += msgText;
  } else {
    text += msgText.substr(0, win::AnsiPrefixLength(msgText, kMsgTextKeep));
    text += "...";
  }
}

}  // namespace kv
