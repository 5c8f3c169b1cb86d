// printf-like formatting with the host's directives:
//   %s  text            %d  decimal integer
//   %-10.10s  text left-aligned, padded with blanks and cut to 10 bytes
//   %4.4d     integer with at least 4 digits, zero-padded
//   %0:s %1:s the argument with that index (later plain directives go on
//             from the index after it)
//   %%  a percent sign
// Widths and cuts count bytes. A directive whose argument is missing or of
// the other kind raises kv::Exception("Format ... invalid or incompatible").
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace kv {

using FormatArg = std::variant<std::string_view, std::int64_t>;

std::string Format(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace kv
