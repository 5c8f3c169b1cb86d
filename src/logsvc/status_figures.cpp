#include "logsvc/status_figures.h"

#include <cstdio>

#include "base/datetime.h"

namespace kv {
namespace {

constexpr const char* kSeparator = " \u00B7 ";

std::string Moment(const DateTimeParts& at, const DateTimeParts& now) {
  char text[32];
  if (at.year == now.year && at.month == now.month && at.day == now.day) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", at.hour, at.minute, at.second);
  } else {
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", at.year, at.month, at.day, at.hour, at.minute,
                  at.second);
  }
  return text;
}

}  // namespace

std::string GroupThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

DateTimeParts AddMilliseconds(const DateTimeParts& at, std::uint64_t ms) {
  constexpr std::uint64_t kMsPerDay = 86400000;
  TDateTime moment = EncodeDateTime(at);
  // Whole days apart from the rest, so that a long period loses no
  // millisecond to the fraction's precision.
  moment += static_cast<double>(ms / kMsPerDay);
  moment += static_cast<double>(ms % kMsPerDay) / static_cast<double>(kMsPerDay);
  return DecodeDateTime(moment);
}

std::string FormatStatusFigures(const StatusFigures& f, const DateTimeParts& now) {
  std::string text = GroupThousands(f.events) + (f.events == 1 ? " event" : " events");
  text += kSeparator + GroupThousands(f.relayed) + " relayed";
  const std::uint64_t lost = f.kernelDrops + f.queueDrops;
  text += kSeparator + GroupThousands(lost) + " lost";
  if (lost != 0) {
    text += " (" + GroupThousands(f.kernelDrops) + " kernel, " + GroupThousands(f.queueDrops) + " queue)";
  }
  text += kSeparator + GroupThousands(f.bufferedLines) + (f.bufferedLines == 1 ? " line" : " lines") + " buffered";
  text += kSeparator;
  if (f.lastSaveAt) {
    text += "last save " + Moment(*f.lastSaveAt, now) + " " + f.lastSaveFile;
    if (f.failedSaves != 0) text += " (" + GroupThousands(f.failedSaves) + " failed since)";
  } else {
    text += "no save yet";
    if (f.failedSaves != 0) text += " (" + GroupThousands(f.failedSaves) + " failed)";
  }
  if (!f.running) return text;
  text += kSeparator;
  text += f.nextSaveAt ? "next " + Moment(*f.nextSaveAt, now) : std::string("next on flush or stop");
  return text;
}

}  // namespace kv
