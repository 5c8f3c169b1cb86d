// The rule of both backends' WritePrivateProfileString for what a profile
// file can hold. Internal to the platform layer.
#pragma once

#include <string_view>

namespace win::detail {

// Whether `key`=`value` in [`section`] can be written as one profile line
// that reads back as written: neither name empty (both are taken without
// their outer blanks), no line break or NUL anywhere, no "]" in the section
// name, no "=" in the key, and a key that does not begin as a comment (";")
// or a section header ("["). Pure.
bool ProfileEntryWritable(std::string_view section, std::string_view key, std::string_view value);

}  // namespace win::detail
