// Profile files read and written line by line with the Windows rules.
#include "platform/profile.h"

#include <mutex>
#include <optional>
#include <string_view>

#include "platform/common/profile_entry.h"
#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/posix/ini_lines.h"
#include "platform/posix/text_file.h"

namespace win {
namespace {

using detail::EqualsNoCase;
using detail::Fail;
using detail::TrimBlanks;

constexpr std::size_t kMaxValueBytes = ProfileValueMax;
constexpr std::string_view kLineEnd = "\r\n";  // of the lines written here

// The first section of that name.
std::optional<detail::IniSection> FindSection(const detail::IniLines& lines, std::string_view section) {
  return lines.FindSection([section](std::string_view name) { return EqualsNoCase(name, section); });
}

// The first key of that name in the section.
std::optional<std::size_t> FindKey(const detail::IniLines& lines, const detail::IniSection& range,
                                   std::string_view key) {
  return lines.FindLine(range, [&](std::size_t i) {
    std::optional<detail::IniKey> found = lines.Key(i);
    return found && EqualsNoCase(found->name, key);
  });
}

// A value as a caller's 2048-byte buffer would receive it: one pair of
// matching quotes removed, cut at a NUL byte and after 2047 bytes.
std::string Deliver(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  value = value.substr(0, value.find('\0'));
  return std::string(value.substr(0, kMaxValueBytes));
}

std::string DeliverDefault(std::string_view value) {
  value = value.substr(0, value.find('\0'));
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return std::string(value.substr(0, kMaxValueBytes));
}

// Serialises this process's read-modify-write cycles.
std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName) {
  std::string text;
  DWORD err = detail::ReadWholeFile(fileName, text);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return DeliverDefault(defaultValue);
  }
  detail::IniLines lines(text, detail::IniRules::Profile());
  std::optional<detail::IniSection> range = FindSection(lines, TrimBlanks(section));
  std::optional<std::size_t> line = range ? FindKey(lines, *range, TrimBlanks(key)) : std::nullopt;
  if (!line) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return DeliverDefault(defaultValue);
  }
  SetLastError(ERROR_SUCCESS);
  return Deliver(TrimBlanks(lines.Key(*line)->value));
}

BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  std::string_view sectionName = TrimBlanks(section);
  std::string_view keyName = TrimBlanks(key);
  if (!detail::ProfileEntryWritable(sectionName, keyName, value)) return Fail(ERROR_INVALID_PARAMETER);

  std::lock_guard<std::mutex> guard(WriteMutex());
  std::string text;
  DWORD err = detail::ReadWholeFile(fileName, text);
  if (err == ERROR_FILE_NOT_FOUND) text.clear();
  else if (err != ERROR_SUCCESS) return Fail(err);

  detail::IniLines lines(text, detail::IniRules::Profile());
  std::optional<detail::IniSection> range = FindSection(lines, sectionName);
  const std::string keyLine = std::string(keyName) + "=" + value;
  if (!range) {
    // A new section at the end of the file.
    lines.Insert(lines.Count(), "[" + std::string(sectionName) + "]", kLineEnd);
    lines.Insert(lines.Count(), keyLine, kLineEnd);
  } else if (std::optional<std::size_t> existing = FindKey(lines, *range, keyName)) {
    // The key's line rewritten, its name kept as the file spells it.
    lines.Replace(*existing, std::string(lines.Key(*existing)->name) + "=" + value);
  } else {
    // After the last key of the section, or right after its header.
    std::size_t after = range->header;
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
      if (lines.Key(i)) after = i;
    }
    lines.Insert(after + 1, keyLine, kLineEnd);
  }
  const std::string updated = lines.Print();
  // The settings file lies in the service's own folder: a link planted
  // there is refused, never written through.
  err = detail::WriteWholeFile(fileName, updated, FILE_FLAG_OPEN_REPARSE_POINT);
  if (err != ERROR_SUCCESS) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
