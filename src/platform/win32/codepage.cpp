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

}  // namespace win
