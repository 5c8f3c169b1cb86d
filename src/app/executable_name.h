// The file name of the running executable.
#pragma once

#include <string>

namespace kv {

// The last component of the executable's full path, extension included
// ("kvlogserver"); "" when the path cannot be read. Safe from any thread.
std::string ExecutableFileName();

}  // namespace kv
