// Reading a file by its name: its size and its whole content, for the few
// files the program reads whole (the save journal) and the sizes it checks
// (a log file a save appends to). Failing calls return FALSE and set the
// last error to a Windows number: 2 missing, 3 folder missing, 5 a folder
// or anything but a regular file. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace win {

// The size in bytes of the regular file at `path` (links followed).
BOOL GetFileSizeOf(const std::string& path, std::uint64_t* size);

// The whole content of the regular file at `path`. Never waits for a FIFO or
// device planted at the path: it is refused (5).
BOOL ReadFileContent(const std::string& path, std::string* content);

}  // namespace win
