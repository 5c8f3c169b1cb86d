// Code page conversions with iconv. The ANSI code page is the character set
// of the process's locale (setlocale(LC_ALL, "") and nl_langinfo(CODESET)),
// looked up once; Shift_JIS names mean code page 932, and the plain C/POSIX
// locale counts as UTF-8 (65001). Every thread keeps its own iconv
// descriptors, so no conversion state is shared between threads.
#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/error.h"

namespace win {
namespace {

constexpr const char* kWideName = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// A character set: its Windows number (0 when Windows has none) and the
// name iconv knows it by.
struct Charset {
  UINT codePage;
  std::string iconvName;
};

// "Shift_JIS" -> "SHIFTJIS": upper case, without '-', '_' and blanks.
std::string Normalise(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

struct KnownPage {
  UINT codePage;
  const char* iconvName;
  const char* aliases;  // normalised names separated by blanks
};

constexpr KnownPage kKnownPages[] = {
    {65001, "UTF-8", "UTF8 "},
    // The Windows flavour of Shift_JIS (NEC and IBM extensions), whatever
    // the locale calls it.
    {932, "CP932", "SHIFTJIS SJIS CP932 MS932 WINDOWS31J CSWINDOWS31J CSSHIFTJIS MSKANJI IBM943 "},
    {936, "GBK", "GBK GB2312 CP936 EUCCN "},
    {949, "CP949", "CP949 UHC EUCKR "},
    {950, "BIG5", "BIG5 CP950 BIG5HKSCS "},
    {1250, "CP1250", "CP1250 WINDOWS1250 "},
    {1251, "CP1251", "CP1251 WINDOWS1251 "},
    {1252, "CP1252", "CP1252 WINDOWS1252 "},
    {1253, "CP1253", "CP1253 WINDOWS1253 "},
    {1254, "CP1254", "CP1254 WINDOWS1254 "},
    {1255, "CP1255", "CP1255 WINDOWS1255 "},
    {1256, "CP1256", "CP1256 WINDOWS1256 "},
    {1257, "CP1257", "CP1257 WINDOWS1257 "},
    {1258, "CP1258", "CP1258 WINDOWS1258 "},
    {20127, "ASCII", "USASCII "},
    {20866, "KOI8-R", "KOI8R "},
    {21866, "KOI8-U", "KOI8U "},
    {20932, "EUC-JP", "EUCJP "},
    {28591, "ISO-8859-1", "ISO88591 LATIN1 "},
    {28592, "ISO-8859-2", "ISO88592 "},
    {28593, "ISO-8859-3", "ISO88593 "},
    {28594, "ISO-8859-4", "ISO88594 "},
    {28595, "ISO-8859-5", "ISO88595 "},
    {28596, "ISO-8859-6", "ISO88596 "},
    {28597, "ISO-8859-7", "ISO88597 "},
    {28598, "ISO-8859-8", "ISO88598 "},
    {28599, "ISO-8859-9", "ISO88599 "},
    {28605, "ISO-8859-15", "ISO885915 "},
    {54936, "GB18030", "GB18030 "},
};

bool HasAlias(const char* aliases, const std::string& name) {
  std::string needle = name + " ";
  for (const char* p = aliases; *p;) {
    if (std::strncmp(p, needle.c_str(), needle.size()) == 0) return true;
    p = std::strchr(p, ' ');
    if (!p) break;
    ++p;
  }
  return false;
}

// The locale's character set. The plain C/POSIX locale (ASCII) counts as
// UTF-8, as does a locale that cannot be loaded.
Charset CharsetFromLocaleName(const std::string& codeset) {
  std::string name = Normalise(codeset);
  if (name.empty() || name == "ANSIX3.41968" || name == "ASCII" || name == "C" || name == "POSIX")
    return {CP_UTF8, "UTF-8"};
  for (const KnownPage& page : kKnownPages) {
    if (HasAlias(page.aliases, name)) return {page.codePage, page.iconvName};
  }
  // A character set Windows has no number for: converted by its own name.
  iconv_t probe = iconv_open(codeset.c_str(), kWideName);
  if (probe == reinterpret_cast<iconv_t>(-1)) return {CP_UTF8, "UTF-8"};
  iconv_close(probe);
  return {0, codeset};
}

// The process's locale as setlocale(LC_ALL, "") would choose it (LC_ALL,
// LC_CTYPE, LANG), read without switching the process's own locale, so
// that number formatting and system texts stay as they are.
Charset LookUpAnsiCharset() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return {CP_UTF8, "UTF-8"};
  std::string codeset = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return CharsetFromLocaleName(codeset);
}

const Charset& AnsiCharset() {
  static const Charset charset = LookUpAnsiCharset();  // thread-safe initialisation
  return charset;
}

std::optional<Charset> CharsetOf(UINT codePage) {
  if (codePage == CP_ACP || codePage == AnsiCharset().codePage) return AnsiCharset();
  for (const KnownPage& page : kKnownPages) {
    if (page.codePage == codePage) return Charset{page.codePage, page.iconvName};
  }
  return std::nullopt;
}

// One iconv descriptor, closed with its owner.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return cd_; }

 private:
  iconv_t cd_;
};

// The calling thread's descriptor for a pair of character sets, opened on
// first use and reset to the initial state; nullptr when iconv lacks one.
iconv_t ConverterFor(const std::string& to, const std::string& from) {
  thread_local std::map<std::pair<std::string, std::string>, Converter> converters;
  auto key = std::make_pair(to, from);
  auto it = converters.find(key);
  if (it == converters.end()) {
    it =
        converters.emplace(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple(to, from)).first;
  }
  if (!it->second.Valid()) return nullptr;
  iconv(it->second.Get(), nullptr, nullptr, nullptr, nullptr);
  return it->second.Get();
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when
// the bytes there are not one.
std::size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  unsigned char lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// How many input bytes an unconvertible spot covers: one whole character
// when it is merely missing from the target, else one unit.
enum class InputKind { Wide, Utf8, Other };

std::size_t SkipLength(InputKind kind, std::string_view rest) {
  switch (kind) {
    case InputKind::Wide: {
      if (rest.size() < 2) return rest.size();
      char16_t unit = 0;
      std::memcpy(&unit, rest.data(), 2);
      if (unit >= 0xD800 && unit <= 0xDBFF && rest.size() >= 4) {
        char16_t next = 0;
        std::memcpy(&next, rest.data() + 2, 2);
        if (next >= 0xDC00 && next <= 0xDFFF) return 4;
      }
      return 2;
    }
    case InputKind::Utf8: {
      std::size_t length = Utf8SequenceLength(rest);
      return length == 0 ? 1 : length;
    }
    case InputKind::Other: return 1;
  }
  return 1;
}

// Converts `input` with `cd`; every spot iconv cannot take becomes
// `replacement` in the output.
std::string Convert(iconv_t cd, std::string_view input, InputKind kind, std::string_view replacement) {
  std::string out;
  out.resize(input.size() * 2 + 16);
  std::size_t produced = 0;
  std::size_t consumed = 0;
  while (consumed < input.size()) {
    char* inPtr = const_cast<char*>(input.data() + consumed);
    std::size_t inLeft = input.size() - consumed;
    char* outPtr = out.data() + produced;
    std::size_t outLeft = out.size() - produced;
    std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    int err = errno;
    consumed = input.size() - inLeft;
    produced = out.size() - outLeft;
    if (result != static_cast<std::size_t>(-1)) continue;
    if (err == E2BIG) {
      out.resize(out.size() * 2 + 16);
      continue;
    }
    if (err != EILSEQ && err != EINVAL) break;
    // Not in the target, malformed, or cut short at the end: one
    // replacement, then go on after the spot.
    std::size_t skip = SkipLength(kind, input.substr(consumed));
    if (skip == 0 || skip > input.size() - consumed) skip = input.size() - consumed;
    if (out.size() - produced < replacement.size()) out.resize(out.size() * 2 + replacement.size());
    std::memcpy(out.data() + produced, replacement.data(), replacement.size());
    produced += replacement.size();
    consumed += skip;
  }
  // Close a pending shift state (stateful character sets).
  while (true) {
    char* outPtr = out.data() + produced;
    std::size_t outLeft = out.size() - produced;
    std::size_t result = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    produced = out.size() - outLeft;
    if (result != static_cast<std::size_t>(-1) || errno != E2BIG) break;
    out.resize(out.size() * 2 + 16);
  }
  out.resize(produced);
  return out;
}

std::string WideBytes(char16_t c) {
  std::string bytes(2, '\0');
  std::memcpy(bytes.data(), &c, 2);
  return bytes;
}

std::string ToMultiByte(const Charset& target, std::u16string_view text) {
  iconv_t cd = ConverterFor(target.iconvName, kWideName);
  if (!cd) return std::string(text.size(), '?');
  return Convert(cd, std::string_view(reinterpret_cast<const char*>(text.data()), text.size() * 2), InputKind::Wide,
                 "?");
}

std::u16string ToWide(const Charset& source, std::string_view text) {
  iconv_t cd = ConverterFor(kWideName, source.iconvName);
  if (!cd) return std::u16string(text.size(), u'\uFFFD');
  InputKind kind = source.codePage == CP_UTF8 ? InputKind::Utf8 : InputKind::Other;
  std::string bytes = Convert(cd, text, kind, WideBytes(u'\uFFFD'));
  std::u16string wide(bytes.size() / 2, u'\0');
  std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
  return wide;
}

}  // namespace

UINT GetACP() { return AnsiCharset().codePage; }

std::string WideCharToAnsi(std::u16string_view text) { return ToMultiByte(AnsiCharset(), text); }

std::u16string AnsiToWideChar(std::string_view text) { return ToWide(AnsiCharset(), text); }

std::string Utf8ToAnsi(std::string_view text) {
  const Charset& ansi = AnsiCharset();
  if (ansi.codePage == CP_UTF8) return std::string(text);
  iconv_t cd = ConverterFor(ansi.iconvName, "UTF-8");
  if (!cd) return ToMultiByte(ansi, MultiByteToWideChar(CP_UTF8, text));
  return Convert(cd, text, InputKind::Utf8, "?");
}

std::string WideCharToMultiByte(UINT codePage, std::u16string_view text) {
  std::optional<Charset> charset = CharsetOf(codePage);
  if (!charset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  return ToMultiByte(*charset, text);
}

std::u16string MultiByteToWideChar(UINT codePage, std::string_view text) {
  std::optional<Charset> charset = CharsetOf(codePage);
  if (!charset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  return ToWide(*charset, text);
}

}  // namespace win
