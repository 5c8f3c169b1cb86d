// The process-wide pseudo-random generator of the datagrams' random tags.
#pragma once

#include <cstdint>
#include <functional>

namespace kv {

// Restarts the generator's sequence. Safe from any thread.
void SeedRandomTags(std::uint32_t seed);

// Seeds from the UTC time of day in milliseconds since midnight (from
// CurrentClock()), as every sender does when it is made.
void SeedRandomTagsFromTimeOfDay();

// A tag drawn uniformly from 0 to 99998. Safe from any thread.
std::int32_t DrawRandomTag();

// Replaces the draw for the whole process while it lives (tests).
class ScopedRandomTagOverride {
 public:
  explicit ScopedRandomTagOverride(std::function<std::int32_t()> draw);
  ~ScopedRandomTagOverride();
  ScopedRandomTagOverride(const ScopedRandomTagOverride&) = delete;
  ScopedRandomTagOverride& operator=(const ScopedRandomTagOverride&) = delete;

 private:
  std::function<std::int32_t()> previous_;
};

}  // namespace kv
