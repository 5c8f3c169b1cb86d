// The running program's own module: GetModuleFileName.
#pragma once

#include <string>

#include "platform/types.h"

namespace win {

struct ModuleObject;
using HMODULE = ModuleObject*;

// ERROR_INSUFFICIENT_BUFFER: the name was cut to fit the buffer.
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD MAX_PATH = 260;

// The full path of the executable file of the process (`module` must be
// null: the program has no other modules). Copies at
// most `size` - 1 bytes and a NUL into `fileName`; returns the length
// copied, which is `size` with ERROR_INSUFFICIENT_BUFFER when the path was
// cut, or 0 with the last error on failure. Safe from any thread.
DWORD GetModuleFileName(HMODULE module, char* fileName, DWORD size);

// The same path whole, whatever its length; "" with the last error set
// when it cannot be read. Safe from any thread.
std::string ModuleFileName();

}  // namespace win
