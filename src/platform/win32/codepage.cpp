// The ANSI code page is the system's (GetACP); conversions are the system's
// MultiByteToWideChar and WideCharToMultiByte, with "?" for a character the
// code page lacks and U+FFFD for bytes that decode to nothing.
#include "platform/codepage.h"

#include <string>

#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

bool IsKnownCodePage(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_UTF8) return true;
  CPINFO info{};
  return ::GetCPInfo(codePage, &info) != 0;
}

std::string ToMultiByte(UINT codePage, std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int count = static_cast<int>(text.size());
  // UTF-8 takes no default character; an unpaired surrogate becomes U+FFFD.
  // Elsewhere a missing character is "?", never a look-alike ("best fit"),
  // so that a line is the same bytes as the other backend writes.
  const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
  const ::DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = ::WideCharToMultiByte(codePage, flags, wide, count, nullptr, 0, fallback, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(codePage, flags, wide, count, out.data(), size, fallback, nullptr);
  return out;
}

std::u16string ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return {};
  const int count = static_cast<int>(text.size());
  int size = ::MultiByteToWideChar(codePage, 0, text.data(), count, nullptr, 0);
  if (size <= 0) return {};
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), count, reinterpret_cast<wchar_t*>(out.data()), size);
  return out;
}

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

UINT GetACP() { return static_cast<UINT>(::GetACP()); }

std::string WideCharToAnsi(std::u16string_view text) { return ToMultiByte(CP_ACP, text); }

std::u16string AnsiToWideChar(std::string_view text) { return ToWide(CP_ACP, text); }

std::string Utf8ToAnsi(std::string_view text) {
  if (GetACP() == CP_UTF8) return std::string(text);
  return ToMultiByte(CP_ACP, ToWide(CP_UTF8, text));
}

std::string WideCharToMultiByte(UINT codePage, std::u16string_view text) {
  if (!IsKnownCodePage(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  return ToMultiByte(codePage, text);
}

std::u16string MultiByteToWideChar(UINT codePage, std::string_view text) {
  if (!IsKnownCodePage(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  return ToWide(codePage, text);
}

std::size_t AnsiPrefixLength(std::string_view text, std::size_t limit) { return PrefixLength(GetACP(), text, limit); }

std::size_t PrefixLength(UINT codePage, std::string_view text, std::size_t limit) {
  if (codePage == CP_ACP) codePage = GetACP();
  if (text.size() <= limit) return text.size();
  if (codePage == CP_UTF8) {
    // Back over at most three continuation bytes to the lead byte of the
    // character the limit falls into.
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
