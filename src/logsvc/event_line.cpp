#include "logsvc/event_line.h"

#include <algorithm>

#include "base/strconv.h"
#include "platform/codepage.h"

namespace kv {
namespace {

// Cuts the text before the first ":" off `rest`; empty when there is none.
std::string CutField(std::string_view& rest) {
  std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return {};
  std::string field(rest.substr(0, colon));
  rest.remove_prefix(colon + 1);
  return field;
}

// A control byte as the log file shows it: "#" and three octal digits
// ("#015" for CR), so that no field can end the line, start a line of its
// own or send a terminal escape. TAB stays, as do all other bytes: the
// trail bytes of the double-byte code pages are never control bytes.
bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

std::string_view Escaped(std::string_view text, std::string& scratch) {
  if (std::none_of(text.begin(), text.end(), [](char c) { return IsControl(static_cast<unsigned char>(c)); }))
    return text;
  scratch.clear();
  scratch.reserve(text.size() + 12);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!IsControl(c)) {
      scratch.push_back(ch);
      continue;
    }
    scratch.push_back('#');
    scratch.push_back(static_cast<char>('0' + (c >> 6)));
    scratch.push_back(static_cast<char>('0' + ((c >> 3) & 7)));
    scratch.push_back(static_cast<char>('0' + (c & 7)));
  }
  return scratch;
}

// The text cut or padded with blanks to exactly `width` bytes. A cut falls
// before the character that would not fit whole, and blanks fill the
// bytes it leaves, so the column keeps its width and the line stays text.
void AppendColumn(std::string& out, std::string_view text, std::size_t width) {
  const std::size_t kept = win::AnsiPrefixLength(text, width);
  out.append(text.substr(0, kept));
  out.append(width - kept, ' ');
}

}  // namespace

std::string_view DatagramText(std::string_view received) {
  std::size_t nul = received.find('\0');
  return nul == std::string_view::npos ? received : received.substr(0, nul);
}

EventFields SplitDatagram(std::string_view input) {
  std::string text(input);
  if (text.size() >= 14) text[13] = ':';
  if (text.size() >= 17) text[16] = ':';

  EventFields f;
  f.SendTime = text.substr(0, 19);
  std::string_view rest(text);
  rest.remove_prefix(rest.size() < 20 ? rest.size() : 20);
  f.RandomTag = CutField(rest);
  f.AppName = CutField(rest);
  f.SourceName = CutField(rest);
  f.EventType = CutField(rest);
  f.EventCode = CutField(rest);
  f.MsgText = std::string(rest);
  return f;
}

std::optional<std::u16string> DecodeUtf8Field(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  auto continuation = [&](std::size_t at, unsigned& bits) {
    if (at >= bytes.size()) return false;
    unsigned char c = static_cast<unsigned char>(bytes[at]);
    if ((c & 0xC0) != 0x80) return false;
    bits = c & 0x3F;
    return true;
  };
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
    } else if (lead & 0x20) {
      unsigned c1 = 0, c2 = 0;
      if (!continuation(i + 1, c1) || !continuation(i + 2, c2)) return std::nullopt;
      out.push_back(static_cast<char16_t>(((lead & 0x0F) << 12) | (c1 << 6) | c2));
      i += 3;
    } else {
      unsigned c1 = 0;
      if (!continuation(i + 1, c1)) return std::nullopt;
      out.push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | c1));
      i += 2;
    }
  }
  return out;
}

std::string FormatLogLine(const EventFields& f) {
  std::string scratch;
  std::string line;
  line.reserve(f.SendTime.size() + 35 + f.MsgText.size());
  line.append(Escaped(f.SendTime, scratch));
  line.push_back(' ');
  AppendColumn(line, Escaped(f.AppName, scratch), 10);
  line.push_back(' ');
  AppendColumn(line, Escaped(f.SourceName, scratch), 20);
  line.push_back(' ');
  AppendColumn(line, Escaped(f.EventType, scratch), 1);
  line.push_back(' ');
  line.append(Escaped(f.MsgText, scratch));
  return line;
}

std::int32_t EventTypeValue(std::string_view eventType) { return StrToIntDef(eventType, 0); }

}  // namespace kv
