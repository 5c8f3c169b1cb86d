// Names the calling thread (SetThreadDescription), so that an operator's
// process viewer and a debugger tell the service's threads apart. A name
// that cannot be set leaves the thread as it was.
// POSIX: the kernel's name of the thread, which keeps the first 15 bytes.
#pragma once

#include <string_view>

namespace win {

void NameCurrentThread(std::string_view name);

}  // namespace win
