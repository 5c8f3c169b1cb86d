// The rules of the service dispatcher that both backends keep the same:
// which tables it runs, which controls reach the handler, and the name of
// each state in the texts it prints or sends. Internal to the platform
// layer. Pure; safe from any thread.
#pragma once

#include <string>

#include "platform/service_control.h"

namespace win {

// "Running", "Stop pending", ...; "State N" for a number that is no state.
std::string ServiceStateText(DWORD state);

namespace detail {

// A table of exactly one service with a name and a service-main function,
// ended by an entry of two nulls.
bool HoldsOneService(const SERVICE_TABLE_ENTRY* table);

// Whether the service manager passes `control` on, given the controls the
// last report accepted. Interrogate and custom codes always pass.
bool ControlAccepted(DWORD control, DWORD accepted);

}  // namespace detail
}  // namespace win
