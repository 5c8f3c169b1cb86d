// Between the foreground service manager and the dispatcher of the Windows
// backend: while on, StartServiceCtrlDispatcher runs the service here
// instead of connecting to the Service Control Manager.
#pragma once

#include <string>

namespace win::detail {

// Main thread, before the dispatcher starts and after it returned.
void SetForegroundDispatch(bool on, const std::string& prefix);

}  // namespace win::detail
