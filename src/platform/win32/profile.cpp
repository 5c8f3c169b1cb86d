// The system's own profile functions. What they would silently turn into a
// different file (a line break inside a name or value, "=" in a key, "]" in
// a section name) is refused before the call, as the other backend does.
#include "platform/profile.h"

#include <string_view>
#include <vector>

#include "platform/common/profile_entry.h"
#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

// A value is at most 2047 bytes: the buffer the program's design reads into.
constexpr DWORD kValueBuffer = 2048;

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName) {
  std::vector<char> buffer(kValueBuffer, '\0');
  // An empty section or key name would ask for the list of all names.
  if (TrimBlanks(section).empty() || TrimBlanks(key).empty()) {
    std::string fallback(TrimBlanks(defaultValue));
    return fallback.substr(0, kValueBuffer - 1);
  }
  DWORD length = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
                                            kValueBuffer, fileName.c_str());
  return std::string(buffer.data(), length < kValueBuffer ? length : kValueBuffer - 1);
}

BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  std::string_view sectionName = TrimBlanks(section);
  std::string_view keyName = TrimBlanks(key);
  if (!detail::ProfileEntryWritable(sectionName, keyName, value)) return detail::Fail(ERROR_INVALID_PARAMETER);
  // A link at the settings file's name is refused, never written through.
  const ::DWORD attributes = ::GetFileAttributesA(fileName.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return detail::Fail(ERROR_ACCESS_DENIED);
  const std::string sectionText(sectionName);
  const std::string keyText(keyName);
  if (!::WritePrivateProfileStringA(sectionText.c_str(), keyText.c_str(), value.c_str(), fileName.c_str()))
    return FALSE_;
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
