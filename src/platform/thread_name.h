// Names the calling thread, so that an operator's process viewer and a
// debugger tell the service's threads apart (SetThreadDescription on
// Windows; on Linux the kernel's name of the thread, which keeps at most 15
// bytes). A name that cannot be set leaves the thread as it was.
#pragma once

#include <string_view>

namespace win {

void NameCurrentThread(std::string_view name);

}  // namespace win
