#include "net/random_tag.h"

#include <mutex>
#include <random>
#include <utility>

#include "base/clock.h"
#include "net/event_datagram.h"

namespace kv {
namespace {

// One generator for the process. Senders on different threads draw from
// it, so it is guarded.
struct TagSource {
  std::mutex mutex;
  std::minstd_rand engine{1};
  std::function<std::int32_t()> override;
};

TagSource& Source() {
  static TagSource source;
  return source;
}

}  // namespace

void SeedRandomTags(std::uint32_t seed) {
  TagSource& source = Source();
  std::lock_guard lock(source.mutex);
  // minstd_rand needs a seed that is not 0 modulo its modulus.
  source.engine.seed(seed == 0 ? 1u : seed);
}

void SeedRandomTagsFromTimeOfDay() {
  const DateTimeParts utc = CurrentClock().UtcNow();
  const auto ms = static_cast<std::uint32_t>(((utc.hour * 60 + utc.minute) * 60 + utc.second) * 1000 + utc.millisecond);
  SeedRandomTags(ms);
}

std::int32_t DrawRandomTag() {
  TagSource& source = Source();
  std::function<std::int32_t()> draw;
  {
    std::lock_guard lock(source.mutex);
    if (!source.override) {
      std::uniform_int_distribution<std::int32_t> below(0, kRandomTagBound - 1);
      return below(source.engine);
    }
    draw = source.override;
  }
  return draw();
}

ScopedRandomTagOverride::ScopedRandomTagOverride(std::function<std::int32_t()> draw) {
  TagSource& source = Source();
  std::lock_guard lock(source.mutex);
  previous_ = std::exchange(source.override, std::move(draw));
}

ScopedRandomTagOverride::~ScopedRandomTagOverride() {
  TagSource& source = Source();
  std::lock_guard lock(source.mutex);
  source.override = std::move(previous_);
}

}  // namespace kv
