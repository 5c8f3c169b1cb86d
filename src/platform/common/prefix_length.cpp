// Where a cut of a text falls without splitting a character: pure byte
// rules of the code pages the program meets, the same on every system.
#include "platform/codepage.h"

namespace win {
namespace {

// Bytes of the character that starts with `lead` in a multi-byte code page.
std::size_t CharacterWidth(UINT codePage, unsigned char lead) {
  switch (codePage) {
    case 932: return (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC) ? 2 : 1;
    case 936:
    case 949:
    case 950: return lead >= 0x81 && lead <= 0xFE ? 2 : 1;
    case 20932: return lead == 0x8F ? 3 : (lead == 0x8E || (lead >= 0xA1 && lead <= 0xFE)) ? 2 : 1;
    default: return 1;
  }
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Bytes a UTF-8 lead byte announces; 0 for a byte that leads nothing.
std::size_t Utf8SequenceLength(char c) {
  const unsigned char lead = static_cast<unsigned char>(c);
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 0;
}

}  // namespace

std::size_t AnsiPrefixLength(std::string_view text, std::size_t limit) { return PrefixLength(GetACP(), text, limit); }

std::size_t PrefixLength(UINT codePage, std::string_view text, std::size_t limit) {
  if (codePage == CP_ACP) codePage = GetACP();
  if (text.size() <= limit) return text.size();
  if (codePage == CP_UTF8) {
    // Back over at most three continuation bytes to the lead byte of the
    // character the limit falls into. Stray continuation bytes (no lead
    // within reach, or past the bytes their lead announces) are no
    // character to keep whole.
    std::size_t cut = limit;
    while (cut > 0 && limit - cut < 3 && IsUtf8Continuation(text[cut])) --cut;
    const bool straddles = cut + Utf8SequenceLength(text[cut]) > limit;
    return IsUtf8Continuation(text[limit]) && straddles ? cut : limit;
  }
  if (codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 || codePage == 20932) {
    std::size_t pos = 0;
    while (pos < limit) {
      std::size_t width = CharacterWidth(codePage, static_cast<unsigned char>(text[pos]));
      if (pos + width > limit) break;
      pos += width;
    }
    return pos;
  }
  return limit;
}

}  // namespace win
