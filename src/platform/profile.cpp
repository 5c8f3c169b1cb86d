// Profile files read and written line by line with the Windows rules.
#include "platform/profile.h"

#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/text_file.h"

namespace win {
namespace {

using detail::EqualsNoCase;
using detail::TrimBlanks;

constexpr std::size_t kMaxValueBytes = 2047;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One line of the file: where it lies in the text and what it is.
struct ProfileLine {
  enum class Kind { Other, Section, Key };
  Kind kind = Kind::Other;
  std::size_t start = 0;    // first byte of the line
  std::size_t end = 0;      // one past its last byte before the line end
  std::size_t next = 0;     // first byte of the following line
  std::string_view name;    // section or key name, trimmed
  std::string_view value;   // key value as written, trimmed
};

// Splits the text into lines (CR LF, LF or CR ends a line) and classifies
// them. Works on any bytes.
std::vector<ProfileLine> ParseLines(std::string_view text) {
  std::vector<ProfileLine> lines;
  std::size_t pos = text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
  while (pos < text.size()) {
    ProfileLine line;
    line.start = pos;
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    line.end = end;
    line.next = end;
    if (end < text.size()) line.next += text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
    std::string_view content = TrimBlanks(text.substr(line.start, line.end - line.start));
    if (!content.empty() && content.front() == '[' && content.find(']') != std::string_view::npos) {
      line.kind = ProfileLine::Kind::Section;
      line.name = TrimBlanks(content.substr(1, content.find(']') - 1));
    } else if (!content.empty() && content.front() != ';') {
      std::string_view::size_type eq = content.find('=');
      if (eq != std::string_view::npos) {
        line.kind = ProfileLine::Kind::Key;
        line.name = TrimBlanks(content.substr(0, eq));
        line.value = TrimBlanks(content.substr(eq + 1));
      }
    }
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// Lines [header + 1, end) belong to the first section of that name.
struct SectionRange {
  std::size_t header;
  std::size_t end;
};

std::optional<SectionRange> FindSection(const std::vector<ProfileLine>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != ProfileLine::Kind::Section || !EqualsNoCase(lines[i].name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && lines[end].kind != ProfileLine::Kind::Section) ++end;
    return SectionRange{i, end};
  }
  return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<ProfileLine>& lines, const SectionRange& range,
                                   std::string_view key) {
  for (std::size_t i = range.header + 1; i < range.end; ++i) {
    if (lines[i].kind == ProfileLine::Kind::Key && EqualsNoCase(lines[i].name, key)) return i;
  }
  return std::nullopt;
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

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE_;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName) {
  std::string text;
  DWORD err = detail::ReadWholeFile(fileName, text);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return DeliverDefault(defaultValue);
  }
  std::vector<ProfileLine> lines = ParseLines(text);
  std::optional<SectionRange> range = FindSection(lines, TrimBlanks(section));
  std::optional<std::size_t> line = range ? FindKey(lines, *range, TrimBlanks(key)) : std::nullopt;
  if (!line) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return DeliverDefault(defaultValue);
  }
  SetLastError(ERROR_SUCCESS);
  return Deliver(lines[*line].value);
}

BOOL WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  std::string_view sectionName = TrimBlanks(section);
  std::string_view keyName = TrimBlanks(key);
  constexpr std::string_view kBreaks("\r\n\0", 3);
  if (sectionName.empty() || keyName.empty() || sectionName.find_first_of(kBreaks) != std::string_view::npos ||
      sectionName.find(']') != std::string_view::npos || keyName.find_first_of(kBreaks) != std::string_view::npos ||
      keyName.find('=') != std::string_view::npos || keyName.front() == ';' || keyName.front() == '[' ||
      value.find_first_of(kBreaks) != std::string::npos)
    return Fail(ERROR_INVALID_PARAMETER);

  std::lock_guard<std::mutex> guard(WriteMutex());
  std::string text;
  DWORD err = detail::ReadWholeFile(fileName, text);
  if (err == ERROR_FILE_NOT_FOUND) text.clear();
  else if (err != ERROR_SUCCESS) return Fail(err);

  std::vector<ProfileLine> lines = ParseLines(text);
  std::optional<SectionRange> range = FindSection(lines, sectionName);
  std::string updated;
  if (!range) {
    // A new section at the end of the file.
    updated = text;
    if (!updated.empty() && updated.back() != '\n' && updated.back() != '\r') updated += "\r\n";
    updated += "[" + std::string(sectionName) + "]\r\n" + std::string(keyName) + "=" + value + "\r\n";
  } else if (std::optional<std::size_t> existing = FindKey(lines, *range, keyName)) {
    // The key's line rewritten, its name kept as the file spells it.
    const ProfileLine& line = lines[*existing];
    updated = text.substr(0, line.start) + std::string(line.name) + "=" + value + text.substr(line.end);
  } else {
    // After the last key of the section, or right after its header.
    std::size_t after = range->header;
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
      if (lines[i].kind == ProfileLine::Kind::Key) after = i;
    }
    const ProfileLine& line = lines[after];
    std::string terminator = line.next > line.end ? "" : "\r\n";  // the file's last line may lack one
    updated = text.substr(0, line.next) + terminator + std::string(keyName) + "=" + value + "\r\n" +
              text.substr(line.next);
  }
  err = detail::WriteWholeFile(fileName, updated);
  if (err != ERROR_SUCCESS) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE_;
}

}  // namespace win
