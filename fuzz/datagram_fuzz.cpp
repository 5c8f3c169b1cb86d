// The road of one received datagram: its text up to the first NUL, the
// seven fields, the "$A$" variant (UTF-8 decoder and code-page conversion),
// the log line, and the relay sent through a real TAppEventMsg to a UDP
// socket on 127.0.0.1 and read back. The steps follow the intake's handler
// one by one (the handler itself needs a started service module).
//
// Rules checked for every input the receiver would take (at most 2048 bytes):
// - the fields put back together give the datagram text (byte 20 aside);
// - a line is SendTime (19 bytes once the text has them) + 1 + 10 + 1 + 20 +
//   1 + 1 + 1 + text bytes, each field's control bytes written as "#" and
//   three octal digits first, and holds no control byte but TAB; each
//   fixed column holds the characters of its field that fit whole in its
//   width (in the process's character set: a character is never split,
//   none that fits is dropped), then blanks;
// - a relay is at most 2048 bytes, or is refused with "Event text too long.
//   length = N" and N above 2048;
// - parsing the relay gives back the fields written into it, whenever they
//   are what the writer accepts (no ":" in the names, no NUL byte).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/datetime.h"
#include "base/strconv.h"
#include "fuzz_check.h"
#include "logsvc/event_line.h"
#include "net/app_event_msg.h"
#include "net/event_datagram.h"
#include "platform/codepage.h"
#include "platform/winsock.h"

namespace {

constexpr std::size_t kMaxAppNameAfterMarker = 256;
constexpr char kFixedTime[] = "2024/03/05 14:07:09";

// A UDP socket on 127.0.0.1 that takes the relays, and the sender aimed at it.
struct RelayLoop {
  win::SOCKET listener = 0;
  std::int32_t port = 0;
  kv::TAppEventMsg* repeater = nullptr;

  RelayLoop() {
    win::WSADATA data{};
    FUZZ_CHECK(win::WSAStartup(win::MAKEWORD(1, 1), &data) == 0);
    listener = win::socket(win::WS_AF_INET, win::WS_SOCK_DGRAM, 0);
    FUZZ_CHECK(listener != win::INVALID_SOCKET);
    win::SOCKADDR_IN addr{};
    addr.sin_family = win::WS_AF_INET;
    addr.sin_addr.S_addr = win::inet_addr("127.0.0.1");
    addr.sin_port = 0;
    FUZZ_CHECK(win::bind(listener, reinterpret_cast<const win::SOCKADDR*>(&addr), sizeof addr) == 0);
    int length = sizeof addr;
    FUZZ_CHECK(win::getsockname(listener, reinterpret_cast<win::SOCKADDR*>(&addr), &length) == 0);
    port = win::ntohs(addr.sin_port);
    static kv::TAppEventMsg sender(port, "127.0.0.1");
    sender.Startup();
    sender.Open();
    repeater = &sender;
  }

  std::string Receive() const {
    static char buffer[65536];
    win::SOCKADDR_IN from{};
    int fromLength = sizeof from;
    int got = win::recvfrom(listener, buffer, sizeof buffer, 0, reinterpret_cast<win::SOCKADDR*>(&from), &fromLength);
    FUZZ_CHECK(got >= 0);
    return std::string(buffer, static_cast<std::size_t>(got));
  }
};

RelayLoop& Loop() {
  static RelayLoop loop;
  return loop;
}

std::string ToAnsi(std::string_view utf8) {
  std::optional<std::u16string> wide = kv::DecodeUtf8Field(utf8);
  if (!wide) return {};
  // The other code page the service is made for must take the same text.
  (void)win::WideCharToMultiByte(932, *wide);
  return win::WideCharToAnsi(*wide);
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The bytes of the character that starts at `at`, read as a decoder reads
// the service's character set: in UTF-8 a lead byte with the continuation
// bytes that follow it, up to the number the lead announces (a stray
// continuation byte or a lead with none is a character of its own); in code
// page 932 a lead byte with the byte after it; one byte in single-byte code
// pages. nullopt for code pages this model does not know.
std::optional<std::size_t> CharacterAt(win::UINT codePage, std::string_view text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (codePage == win::CP_UTF8) {
    std::size_t announced = 1;
    if (lead >= 0xC0 && lead <= 0xDF) announced = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) announced = 3;
    else if (lead >= 0xF0 && lead <= 0xF7) announced = 4;
    std::size_t size = 1;
    while (size < announced && at + size < text.size() && IsContinuation(static_cast<unsigned char>(text[at + size]))) {
      ++size;
    }
    return size;
  }
  if (codePage == 932) {
    const bool doubleByte = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
    return doubleByte ? std::min<std::size_t>(2, text.size() - at) : 1;
  }
  if (codePage == 1252 || codePage == 20127 || codePage == 28591) return 1;
  return std::nullopt;
}

// What a fixed column of `width` bytes holds for `text`: the characters
// that fit whole, then blanks up to the width. nullopt when the character
// set is one the model does not know.
std::optional<std::string> Column(std::string_view text, std::size_t width) {
  static const win::UINT codePage = win::GetACP();
  std::size_t kept = 0;
  while (kept < text.size()) {
    const std::optional<std::size_t> size = CharacterAt(codePage, text, kept);
    if (!size) return std::nullopt;
    if (kept + *size > width) break;
    kept += *size;
  }
  std::string out(text.substr(0, kept));
  out.resize(width, ' ');
  return out;
}

// The column at `at` of `line`: exactly what the model says when it knows
// the character set; otherwise the field cut at most three bytes (the
// longest character's tail) before the width, then blanks.
void CheckColumn(const std::string& line, std::size_t at, std::string_view field, std::size_t width) {
  const std::string_view column = std::string_view(line).substr(at, width);
  if (const std::optional<std::string> expected = Column(field, width)) {
    FUZZ_CHECK(column == *expected);
    return;
  }
  const std::size_t whole = std::min(field.size(), width);
  bool matches = false;
  for (std::size_t kept = whole; !matches && kept + 3 >= whole; --kept) {
    matches = column == std::string(field.substr(0, kept)) + std::string(width - kept, ' ');
    if (kept == 0) break;
  }
  FUZZ_CHECK(matches);
}

bool WriterTakes(std::string_view name) {
  return name.find_first_of(std::string_view(":\0", 2)) == std::string_view::npos;
}

void CheckFields(std::string_view text, const kv::EventFields& f) {
  if (text.size() >= 19) FUZZ_CHECK(f.SendTime.size() == 19);
  else FUZZ_CHECK(f.SendTime.size() == text.size());
  for (const std::string* field : {&f.RandomTag, &f.AppName, &f.SourceName, &f.EventType, &f.EventCode}) {
    FUZZ_CHECK(field->find(':') == std::string::npos);
  }
  // Put back together, the fields give the text with ":" at bytes 14 and 17.
  std::string expected(text);
  if (expected.size() >= 14) expected[13] = ':';
  if (expected.size() >= 17) expected[16] = ':';
  // The five middle fields are cut in order while a ":" remains; the rest
  // is the message text.
  std::string rebuilt = f.SendTime;
  if (expected.size() > 19) rebuilt += expected[19];
  std::string_view rest = expected.size() > 20 ? std::string_view(expected).substr(20) : std::string_view();
  bool cutting = true;
  for (const std::string* field : {&f.RandomTag, &f.AppName, &f.SourceName, &f.EventType, &f.EventCode}) {
    if (cutting && rest.find(':') == std::string_view::npos) cutting = false;
    if (cutting) {
      rebuilt += *field + ":";
      rest.remove_prefix(rest.find(':') + 1);
    } else {
      FUZZ_CHECK(field->empty());
    }
  }
  rebuilt += f.MsgText;
  FUZZ_CHECK(rebuilt == expected);
}

// The field as the line shows it: 0x00-0x1F but TAB, and 0x7F, as "#ooo".
std::string Shown(std::string_view field) {
  std::string out;
  for (const char ch : field) {
    const unsigned c = static_cast<unsigned char>(ch);
    if ((c >= 0x20 && c != 0x7F) || c == '\t') {
      out += ch;
    } else {
      const char octal[] = {'#', static_cast<char>('0' + c / 64), static_cast<char>('0' + c / 8 % 8),
                            static_cast<char>('0' + c % 8)};
      out.append(octal, 4);
    }
  }
  return out;
}

void CheckLine(const kv::EventFields& raw, const std::string& line) {
  for (const char ch : line) {
    const unsigned c = static_cast<unsigned char>(ch);
    FUZZ_CHECK((c >= 0x20 && c != 0x7F) || c == '\t');
  }
  kv::EventFields f;
  f.SendTime = Shown(raw.SendTime);
  f.AppName = Shown(raw.AppName);
  f.SourceName = Shown(raw.SourceName);
  f.EventType = Shown(raw.EventType);
  f.MsgText = Shown(raw.MsgText);
  FUZZ_CHECK(line.size() == f.SendTime.size() + 1 + 10 + 1 + 20 + 1 + 1 + 1 + f.MsgText.size());
  std::size_t at = 0;
  FUZZ_CHECK(line.compare(at, f.SendTime.size(), f.SendTime) == 0);
  at += f.SendTime.size() + 1;
  CheckColumn(line, at, f.AppName, 10);
  at += 11;
  CheckColumn(line, at, f.SourceName, 20);
  at += 21;
  CheckColumn(line, at, f.EventType, 1);
  at += 2;
  FUZZ_CHECK(line.compare(at, std::string::npos, f.MsgText) == 0);
}

void CheckRelay(const kv::EventFields& f) {
  RelayLoop& loop = Loop();
  const std::int32_t type = kv::EventTypeValue(f.EventType);
  try {
    loop.repeater->SendEvent(f.AppName, f.MsgText, f.SourceName, type, 0);
  } catch (const kv::EAppEventMsg& refused) {
    const std::string_view text = refused.what();
    constexpr std::string_view kTooLong = "Event text too long. length = ";
    FUZZ_CHECK(text.starts_with(kTooLong));
    FUZZ_CHECK(kv::StrToIntDef(text.substr(kTooLong.size()), 0) > 2048);
    return;
  }
  const std::string relay = loop.Receive();
  FUZZ_CHECK(relay.size() <= kv::kMaxDatagramText);
  if (!WriterTakes(f.AppName) || !WriterTakes(f.SourceName)) return;
  const std::string msg = kv::CutMsgText(f.MsgText);
  if (msg.find('\0') != std::string::npos) return;
  const kv::EventFields back = kv::SplitDatagram(kv::DatagramText(relay));
  FUZZ_CHECK(back.AppName == f.AppName);
  FUZZ_CHECK(back.SourceName == f.SourceName);
  FUZZ_CHECK(back.EventType == std::to_string(type));
  FUZZ_CHECK(back.EventCode == "0");
  FUZZ_CHECK(back.MsgText == msg);
  FUZZ_CHECK(kv::TryStrToInt(back.RandomTag).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Loop();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The receiver reads at most this much; longer datagrams are refused there.
  if (size > kv::kMaxDatagramText) return 0;
  const std::string_view received(reinterpret_cast<const char*>(data), size);
  const std::string_view text = kv::DatagramText(received);
  FUZZ_CHECK(text.find('\0') == std::string_view::npos);
  FUZZ_CHECK(received.substr(0, text.size()) == text);

  kv::EventFields f = kv::SplitDatagram(text);
  CheckFields(text, f);

  if (std::string_view(f.AppName).starts_with(kv::kUtf8Marker)) {
    f.AppName = f.AppName.substr(kv::kUtf8Marker.size(), kMaxAppNameAfterMarker);
    f.SourceName = ToAnsi(f.SourceName);
    f.MsgText = ToAnsi(f.MsgText);
    f.SendTime = kFixedTime;
  }

  CheckLine(f, kv::FormatLogLine(f));
  CheckRelay(f);
  return 0;
}
