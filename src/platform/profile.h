// Profile (INI) files with the rules of the Windows profile functions:
// - section and key names match without regard to letter case (ASCII);
// - blanks around names and values are ignored, and one outermost matching
//   pair of " or ' around a value is removed;
// - a line whose first non-blank character is ";" is a comment (a ";" inside
//   a value is data); lines before the first section are ignored; a line
//   without "=" is no key; the first of duplicate sections or keys wins;
// - a value is at most 2047 bytes (a 2048-byte buffer with its terminator);
//   a key present with an empty value gives "", not the default;
// - writing produces `key=value` CR LF; a new key goes after the last key of
//   its section, a new section at the end of the file, and the first write
//   creates the section and the file.
// Nothing is cached: every read looks at the file, every write rewrites it
// at once. Safe from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"

namespace win {

// The longest value GetPrivateProfileString gives back. A value of this
// length may be the first part of a longer one.
constexpr std::size_t ProfileValueMax = 2047;

// The value of `key` in `section`, or `defaultValue` (trailing blanks
// removed) when the file, the section or the key is missing. Never fails,
// whatever the file holds.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName);

// Sets `key` in `section` to `value`. FALSE with the last error when the
// file cannot be written (3 folder missing, 5 read-only or denied, ...), and
// with ERROR_INVALID_PARAMETER for names or values that a profile line cannot
// hold (line breaks, "=" in a key, "]" in a section name, an empty name).
BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName);

}  // namespace win
