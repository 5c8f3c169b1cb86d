// What the message wait needs to know about the monotonic clock in force.
#pragma once

namespace win::detail {

// True while a ManualMonotonicClock stands in for the system clock: timer
// deadlines then come by Advance, which wakes the waiting threads, and a
// wait sets no timeout for them. Safe from any thread.
bool ManualClockInForce();

}  // namespace win::detail
