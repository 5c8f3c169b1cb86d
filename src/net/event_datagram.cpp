#include "net/event_datagram.h"

#include "platform/codepage.h"

namespace kv {
namespace {

// At least `width` decimal digits, zero-padded.
void AppendPadded(std::string& out, int value, int width) {
  std::string digits = std::to_string(value < 0 ? -static_cast<long long>(value) : value);
  if (value < 0) out += '-';
  for (int i = static_cast<int>(digits.size()); i < width; ++i) out += '0';
  out += digits;
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
  text += std::to_string(randomTag);
  text += ':';
  text += appName;
  text += ':';
  text += sourceName;
  text += ':';
  text += std::to_string(eventType);
  text += ':';
  text += std::to_string(eventCode);
  text += ':';
  if (msgText.size() < kMsgTextLimit) {
    text += msgText;
  } else {
    text += msgText.substr(0, win::AnsiPrefixLength(msgText, kMsgTextKeep));
    text += "...";
  }
}

}  // namespace kv
