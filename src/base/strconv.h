// Integer conversion with the host's rules: leading blanks, one optional
// sign, then decimal digits, or hexadecimal digits after "$", "x", "X", "0x"
// or "0X", up to the end of the text. Anything else, an empty text, or a
// value outside the signed 32-bit range does not convert.
//
//   "12" -> 12   "-3" -> -3   "$1F" -> 31   "0x10" -> 16   " 7" -> 7
//   "" , "abc", "7 ", "2147483648" -> no value
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kv {

std::optional<std::int32_t> TryStrToInt(std::string_view text);

inline std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  return TryStrToInt(text).value_or(fallback);
}

}  // namespace kv
