// The English Windows texts of the system error numbers the program meets
// (FormatMessage, without the trailing CR LF), the same on every system
// the program runs on. Pure; safe from any thread.
#pragma once

#include "platform/types.h"

namespace win::detail {

// The text of `code`, or null for a number not in the list.
const char* KnownSystemText(DWORD code);

}  // namespace win::detail
