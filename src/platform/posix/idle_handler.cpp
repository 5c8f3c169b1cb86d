// The idle handler of each thread: run by the message wait when a burst of
// messages has been handled and the thread is about to sleep.
#include <functional>

#include "platform/messages.h"
#include "platform/posix/detail/thread_queue.h"

namespace win {
namespace detail {
namespace {

thread_local std::function<void()> tIdleHandler;

}  // namespace

bool HasIdleHandler() { return static_cast<bool>(tIdleHandler); }

void RunIdleHandler() { tIdleHandler(); }

}  // namespace detail

void SetIdleHandler(std::function<void()> handler) { detail::tIdleHandler = std::move(handler); }

}  // namespace win
