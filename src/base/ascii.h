// Letter case of ASCII text, whatever the locale: only a-z and A-Z fold. For
// the names the program compares as Windows does (switches, service names,
// file name extensions). Pure; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

constexpr char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// "kvs1.log" -> "KVS1.LOG".
inline std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

// Equal but for the case of ASCII letters: EqualsNoCase("/Install", "/INSTALL").
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}

}  // namespace kv
