#include "logsvc/repeat_filter.h"

namespace kv {

bool TRepeatFilter::Admit(const std::string& text, Clock::time_point now) {
  auto it = entries_.find(text);
  if (it != entries_.end()) {
    // Within the minute, or with a count still to be written (Due writes
    // it before the text is let through again).
    if (now - it->second.written < kPeriod || it->second.repeats > 0) {
      ++it->second.repeats;
      return false;
    }
    it->second.written = now;
    return true;
  }
  if (entries_.size() >= kMaxTexts) Due(now, false);
  if (entries_.size() < kMaxTexts) entries_.emplace(text, Entry{now, 0});
  return true;
}

std::vector<std::pair<std::string, std::uint64_t>> TRepeatFilter::Due(Clock::time_point now, bool all) {
  std::vector<std::pair<std::string, std::uint64_t>> due;
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& entry = it->second;
    const bool over = now - entry.written >= kPeriod;
    if (entry.repeats > 0 && (all || over)) {
      due.emplace_back(it->first, entry.repeats);
      entry.repeats = 0;
      entry.written = now;
      ++it;
    } else if (entry.repeats == 0 && over) {
      it = entries_.erase(it);  // quiet for a minute: its next entry is a first one again
    } else {
      ++it;
    }
  }
  return due;
}

std::string TRepeatFilter::CountText(const std::string& text, std::uint64_t repeats) {
  return text + " (" + std::to_string(repeats) + (repeats == 1 ? " more time" : " more times") +
         " since its last entry)";
}

}  // namespace kv
