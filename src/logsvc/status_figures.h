// The figures the running service shows its operator beside its state
// (`systemctl status`, svcrun): events taken in, relayed and lost, lines
// waiting in the buffer, the last save and the next one. Pure functions:
// time and counts in, text out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"

namespace kv {

struct StatusFigures {
  std::uint64_t events = 0;       // datagrams taken in since the start
  std::uint64_t relayed = 0;      // relays sent
  std::uint64_t kernelDrops = 0;  // lost: the socket's kernel queue was full
  std::uint64_t queueDrops = 0;   // lost: the receive queue was full
  std::uint64_t bufferedLines = 0;
  std::optional<DateTimeParts> lastSaveAt;  // none before the first save
  std::string lastSaveFile;                 // its file name
  std::uint64_t failedSaves = 0;            // since the last save that worked
  std::optional<DateTimeParts> nextSaveAt;  // none: no timed saves (Interval 0)
  bool running = true;                      // false once stopped: no next save
};

// The figures in one line; a time on `now`'s date shows the time of day
// alone, any other the date too:
//   "1,204,331 events · 1,204,331 relayed · 0 lost · 12 lines buffered ·
//    last save 12:00:00 kvs20261210120000.log · next 18:00:00"
//   "7 events · 5 relayed · 3 lost (2 kernel, 1 queue) · 8 lines buffered ·
//    no save yet (2 failed) · next on flush or stop"
// Once stopped, the next save is left out.
std::string FormatStatusFigures(const StatusFigures& figures, const DateTimeParts& now);

// 1204331 -> "1,204,331"
std::string GroupThousands(std::uint64_t value);

// The moment `ms` milliseconds after `at` (on the calendar, local time).
DateTimeParts AddMilliseconds(const DateTimeParts& at, std::uint64_t ms);

}  // namespace kv
