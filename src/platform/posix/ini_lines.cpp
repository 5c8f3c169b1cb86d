#include "platform/posix/ini_lines.h"

#include <utility>

namespace win::detail {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

IniLines::IniLines(std::string_view text, const IniRules& rules) : rules_(rules) {
  std::size_t pos = 0;
  if (rules_.skipByteOrderMark && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    prefix_ = std::string(kByteOrderMark);
    pos = kByteOrderMark.size();
  }
  while (pos < text.size()) {
    std::size_t end = text.find_first_of(rules_.loneCrEndsLine ? std::string_view("\r\n") : "\n", pos);
    if (end == std::string_view::npos) end = text.size();
    Line line;
    std::size_t textEnd = end;
    if (end < text.size() && text[end] == '\r') {
      // Only with loneCrEndsLine: CR LF or a CR alone.
      line.end = end + 1 < text.size() && text[end + 1] == '\n' ? "\r\n" : "\r";
    } else if (end < text.size()) {
      line.end = "\n";
      if (end > pos && text[end - 1] == '\r') {
        line.end = "\r\n";
        --textEnd;
      }
    } else if (end > pos && text[end - 1] == '\r') {
      line.end = "\r";  // the last line, ended by a CR alone
      --textEnd;
    }
    line.text = std::string(text.substr(pos, textEnd - pos));
    pos = end + (line.end == "\r\n" && text[end] == '\r' ? 2 : end < text.size() ? 1 : 0);
    lines_.push_back(std::move(line));
  }
}

std::optional<std::string_view> IniLines::SectionName(std::size_t i) const {
  std::string_view content = TrimBlanks(lines_[i].text);
  if (content.size() < 2 || content.front() != '[') return std::nullopt;
  if (rules_.headerEndsLine) {
    if (content.back() != ']') return std::nullopt;
    return TrimBlanks(content.substr(1, content.size() - 2));
  }
  std::string_view::size_type close = content.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(content.substr(1, close - 1));
}

std::optional<IniKey> IniLines::Key(std::size_t i) const {
  std::string_view line = lines_[i].text;
  std::string_view content = TrimBlanks(line);
  if (content.empty() || rules_.notKeyMarks.find(content.front()) != std::string_view::npos) return std::nullopt;
  if (SectionName(i)) return std::nullopt;
  std::string_view::size_type eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return IniKey{TrimBlanks(line.substr(0, eq)), line.substr(eq + 1)};
}

std::size_t IniLines::NextHeader(std::size_t from) const {
  while (from < lines_.size() && !SectionName(from)) ++from;
  return from;
}

std::size_t IniLines::SectionEnd(std::size_t header) const { return NextHeader(header + 1); }

std::string_view IniLines::FirstLineEnd() const {
  return !lines_.empty() && (lines_.front().end == "\r\n" || lines_.front().end == "\r") ? "\r\n" : "\n";
}

void IniLines::Replace(std::size_t i, std::string text) { lines_[i].text = std::move(text); }

void IniLines::Replace(std::size_t i, std::string text, std::string_view lineEnd) {
  lines_[i] = Line{std::move(text), lineEnd};
}

void IniLines::Insert(std::size_t i, std::string text, std::string_view lineEnd) {
  if (i > 0 && lines_[i - 1].end.empty()) {
    lines_[i - 1].end = lineEnd;
  } else if (i == 0 && lines_.empty() && !prefix_.empty()) {
    prefix_ += lineEnd;  // nothing but a byte order mark: the new line starts below it
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(i), Line{std::move(text), lineEnd});
}

void IniLines::Erase(std::size_t first, std::size_t last) {
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.begin() + static_cast<std::ptrdiff_t>(last));
}

void IniLines::EndLastLine() {
  if (lines_.empty()) return;
  Line& last = lines_.back();
  if (last.end.empty()) last.end = "\n";
  else if (last.end == "\r") last.end = "\r\n";
}

std::string IniLines::Print() const {
  std::string text = prefix_;
  for (const Line& line : lines_) {
    text += line.text;
    text += line.end;
  }
  return text;
}

}  // namespace win::detail
