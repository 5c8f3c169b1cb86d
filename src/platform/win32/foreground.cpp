// The process as its own service manager: the dispatcher itself plays it
// (service_control.cpp).
#include "platform/foreground.h"

#include "platform/eventlog.h"
#include "platform/win32/foreground_dispatch.h"

namespace win {

// Nothing to own on Windows: the dispatcher itself plays the manager.
struct ForegroundServiceManager::State {};

ForegroundServiceManager::ForegroundServiceManager(std::string prefix) : state_(std::make_unique<State>()) {
  detail::SetForegroundDispatch(true, prefix);
  SetEventLogToStandardError(true);
}

ForegroundServiceManager::~ForegroundServiceManager() {
  SetEventLogToStandardError(false);
  detail::SetForegroundDispatch(false, "");
}

}  // namespace win
