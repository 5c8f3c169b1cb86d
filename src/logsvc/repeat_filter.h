// TRepeatFilter: keeps a failure that repeats from flooding the event log.
// The first entry of a text is written at once; the same text again within
// a minute of its last entry is only counted, and the count goes out as one
// entry once that minute is over (or at stop). Texts are told apart exactly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/monotonic_clock.h"

namespace kv {

class TRepeatFilter {
 public:
  // The platform's monotonic clock, so that a test can move it on.
  using Clock = win::MonotonicClock;
  static constexpr Clock::duration kPeriod = std::chrono::minutes(1);
  // Texts followed at once; beyond them a new text is written untracked.
  static constexpr std::size_t kMaxTexts = 64;

  // True when `text` is to be written now; false when it is counted.
  bool Admit(const std::string& text, Clock::time_point now);
  // The texts whose repeats are due as one entry each, with their counts:
  // those whose minute is over, or every one with `all`.
  std::vector<std::pair<std::string, std::uint64_t>> Due(Clock::time_point now, bool all);
  // "SendTo failed. stat = 10022 (4999 more times since its last entry)"
  static std::string CountText(const std::string& text, std::uint64_t repeats);

 private:
  struct Entry {
    Clock::time_point written;
    std::uint64_t repeats = 0;
  };
  std::map<std::string, Entry> entries_;
};

}  // namespace kv
