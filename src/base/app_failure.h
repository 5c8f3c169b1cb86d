// The process-wide failure handler of the windowing library: failures that
// the library catches around event handlers (timer ticks) are handed to it.
#pragma once

#include <exception>
#include <functional>

namespace kv {

using ApplicationFailureHandler = std::function<void(const std::exception&)>;

// Installs the handler; an empty function removes it. Safe from any thread.
void SetApplicationFailureHandler(ApplicationFailureHandler handler);

// Hands `failure` to the installed handler, or writes its text to standard
// error when none is installed; an EAbort (reported already) is passed over.
// Never throws: a failure of the handler itself is written to standard error
// too. Safe from any thread; the handler runs on the calling thread, outside
// any lock.
void HandleApplicationException(const std::exception& failure);

}  // namespace kv
