// TLossReporter: when the datagrams that the receive queue lost (the
// system's and the layer's overflows) are reported, on the platform's
// monotonic clock, so that a test can replay minutes of a flood with the
// manual clock. The counters are looked at no more than once a second while
// datagrams flow; the first loss of a socket is reported at once, later
// ones at most once a minute, and whatever is left at a stop.
//
// Thread contract: one thread (the module's main thread, the intake's).
#pragma once

#include <cstdint>

#include "platform/monotonic_clock.h"
#include "platform/winsock.h"

namespace kv {

class TLossReporter {
 public:
  // Whether the counters are to be read now: a second or more after the
  // last look, and always at a stop (`atStop`).
  bool LookNow(bool atStop);
  // After LookNow said yes: given the total lost on `socket` since it asked
  // for notifications (the counters just read), the number to report now;
  // 0 when nothing is due. A socket other than the last one counts from 0.
  std::uint64_t Due(win::SOCKET socket, std::uint64_t lost, bool atStop);

 private:
  win::MonotonicClock::time_point lookedAt_{};
  win::MonotonicClock::time_point reportedAt_{};
  win::SOCKET socket_ = 0;
  std::uint64_t reported_ = 0;
};

}  // namespace kv
