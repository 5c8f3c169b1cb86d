// A private platform root for a fuzz target: a fresh folder under the
// temporary directory, named in KV_PLATFORM_ROOT before the first input, and
// removed when the process ends normally.
#pragma once

#include <string>

namespace kvfuzz {

// Makes the root (with etc/systemd/system and opt below it) once per process
// and returns its path.
const std::string& ScratchRoot();

// Replaces the file at `path` with `bytes`.
void WriteFileBytes(const std::string& path, const char* bytes, std::size_t size);

}  // namespace kvfuzz
