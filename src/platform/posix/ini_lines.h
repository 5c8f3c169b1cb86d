// IniLines: the line model of the platform's INI-like text files (profile
// files, the registry store, systemd unit files). Parses a text into lines,
// tells section headers and `name = value` lines apart, finds a section and
// a key, edits lines and prints the text again. Every byte of a line that
// is not edited prints as it was read, its line end included. Pure: no
// files, no state outside the object.
//
// The two dialects differ in small things, set by IniRules:
//   profile files    CR LF, LF or a lone CR end a line; a UTF-8 byte order
//                    mark is skipped; "[name]..." is a header (text after
//                    "]" ignored); ";" starts a comment.
//   store and units  LF ends a line (a CR before it belongs to the end, a
//                    lone CR inside a line is text); "[name]" is a header
//                    only when "]" ends the line; ";" and "#" start a
//                    comment, and a line starting with "[" is never a key.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/detail/ascii.h"

namespace win::detail {

struct IniRules {
  bool loneCrEndsLine = false;
  bool skipByteOrderMark = false;
  bool headerEndsLine = true;    // "]" must be the last character of a header
  std::string_view notKeyMarks;  // first characters of lines that are no key

  static IniRules Profile() { return {true, true, false, ";"}; }
  static IniRules Store() { return {false, false, true, ";#["}; }
};

// A `name = value` line: the name without blanks around it, the value as
// written after the first "=" (blanks kept: each dialect trims its own way).
struct IniKey {
  std::string_view name;
  std::string_view value;
};

// Lines [header + 1, end) are the section's body.
struct IniSection {
  std::size_t header;
  std::size_t end;
};

class IniLines {
 public:
  IniLines(std::string_view text, const IniRules& rules);

  std::size_t Count() const { return lines_.size(); }
  // The line's text without its line end.
  const std::string& Text(std::size_t i) const { return lines_[i].text; }

  // The section name of a header line (blanks around it removed), or nullopt.
  std::optional<std::string_view> SectionName(std::size_t i) const;
  // The key of a `name = value` line, or nullopt for headers, comments,
  // blank lines and lines without "=".
  std::optional<IniKey> Key(std::size_t i) const;

  // The first section whose name `matches(name)` accepts.
  template <typename Match>
  std::optional<IniSection> FindSection(Match matches) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      std::optional<std::string_view> name = SectionName(i);
      if (name && matches(*name)) return IniSection{i, SectionEnd(i)};
    }
    return std::nullopt;
  }
  // The first line of the section's body that `matches(i)` accepts.
  template <typename Match>
  std::optional<std::size_t> FindLine(const IniSection& section, Match matches) const {
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
      if (matches(i)) return i;
    }
    return std::nullopt;
  }
  // The index of the first header at or after `from` (Count() when none).
  std::size_t NextHeader(std::size_t from) const;

  // The file's own line end, as its first line has it ("\r\n" or "\n"); the
  // end that Insert gives new lines in the store dialect.
  std::string_view FirstLineEnd() const;

  // Replaces a line's text; its line end stays, or becomes `lineEnd`.
  void Replace(std::size_t i, std::string text);
  void Replace(std::size_t i, std::string text, std::string_view lineEnd);
  // Inserts a line before line `i` (Count(): at the end) ending with
  // `lineEnd`. A line above it that had no line end (the file's last) gets
  // `lineEnd` first, so that the two do not run together.
  void Insert(std::size_t i, std::string text, std::string_view lineEnd);
  // Removes lines [first, last).
  void Erase(std::size_t first, std::size_t last);
  // Gives the last line an LF when it has no line end, or when it ends with
  // a lone CR, so that every line of the text ends.
  void EndLastLine();

  // The text again.
  std::string Print() const;

 private:
  struct Line {
    std::string text;
    std::string_view end;  // "", "\n", "\r\n" or "\r"
  };

  std::size_t SectionEnd(std::size_t header) const;

  IniRules rules_;
  std::string prefix_;  // a skipped byte order mark
  std::vector<Line> lines_;
};

}  // namespace win::detail
