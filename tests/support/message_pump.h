// Runs the calling thread's message loop in tests, bounded by a watchdog
// timer so that a test that never sees its condition still ends.
#pragma once

#include <chrono>
#include <functional>

namespace kvtest {

// Takes and dispatches messages of the calling thread until `done()` holds
// or `timeout` passes; done() is checked after each message and every 2 ms.
// Returns done(). A WM_QUIT taken on the way is posted again and ends the
// loop.
bool PumpMessagesUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Dispatches what is queued now (PeekMessage until empty); returns the count.
int PumpPendingMessages();

}  // namespace kvtest
