// The ANSI code page, the character set of the program's narrow texts (its
// log lines, settings, file names and event log entries), and conversions
// between it, other code pages and 16-bit text.
// POSIX: the ANSI code page is the character set of the process's locale;
// Shift_JIS means code page 932, and the plain C locale counts as UTF-8
// (65001).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// The number of the process's ANSI code page (932, 65001, 1252, 20127...).
UINT GetACP();

// 16-bit text -> ANSI. A character the code page lacks becomes "?".
std::string WideCharToAnsi(std::u16string_view text);
// ANSI -> 16-bit text. An undecodable byte becomes a replacement character
// (POSIX: U+FFFD; Windows: the code page's default character).
std::u16string AnsiToWideChar(std::string_view text);
// UTF-8 (the program's own literal texts) -> ANSI; unchanged in a UTF-8
// locale.
std::string Utf8ToAnsi(std::string_view text);

// The same conversions for a named code page (CP_ACP, CP_UTF8, 932, 1252,
// 20127, 28591...), with the same replacement rules. An unknown code page
// gives an empty text and the last error 87 (ERROR_INVALID_PARAMETER).
std::string WideCharToMultiByte(UINT codePage, std::u16string_view text);
std::u16string MultiByteToWideChar(UINT codePage, std::string_view text);

// The length of the longest prefix of `text` within `limit` bytes that ends
// on a character boundary of the ANSI code page, so that a cut never splits
// a character: UTF-8 sequences, the double-byte characters of 932, 936, 949
// and 950, and EUC-JP's two- and three-byte ones. Single-byte code pages
// (and character sets without a code page number) cut at `limit`. ASCII
// text is always cut at `limit`.
std::size_t AnsiPrefixLength(std::string_view text, std::size_t limit);
// The same for a named code page.
std::size_t PrefixLength(UINT codePage, std::string_view text, std::size_t limit);

// All of these are safe from any thread.

}  // namespace win
