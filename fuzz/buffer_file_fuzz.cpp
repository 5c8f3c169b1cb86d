// The recovery of a log buffer file that a crash left behind, whatever
// bytes it holds, and the way back out through a save.
//
// An input is a flags byte, then the bytes of the file left behind, then
// (after the marker "\0KVNEW\0") lines to add, separated by NUL bytes (they
// may hold CR LF themselves). Flags: 1 the log file to save into exists
// already (the save copies instead of renaming), 2 half the lines are in the
// buffer before the file is attached, 4 a folder stands where the file
// should be (only with no file bytes: a folder has none), 8 another owner
// holds the file, 16 a copying save into the log file was cut short by a
// crash: the log file holds half of the file's bytes after its own, and
// the save's journal is there.
//
// Rules checked:
// - attaching recovers one line per CR LF; a last line cut short is left
//   out, with one information entry; read back, the lines are the file's
//   text between the CR LFs, then the lines that were in memory; a save cut
//   short is taken back out of the log file, with one information entry;
// - a file that cannot be opened gives exactly one warning entry and an
//   empty recovery, a file held by another owner a refusal that names it,
//   and neither changes the file;
// - what was written comes back: lines added and written through are all
//   there when the file is attached again by a new buffer (the next start
//   after a crash), and a save puts exactly the recovered text and those
//   lines into the log file, after what it held, and leaves an empty buffer.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/exception.h"
#include "fuzz_check.h"
#include "logsvc/log_buffer.h"
#include "logsvc/save_journal.h"
#include "platform/durable_file.h"
#include "platform/eventlog.h"
#include "scratch_root.h"

namespace {

constexpr std::string_view kMarker("\0KVNEW\0", 7);
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kTargetHeld = "a line saved before\r\n";
constexpr std::size_t kMaxLines = 32;

enum Flags : unsigned char {
  kTargetExists = 1,
  kLinesBeforeAttach = 2,
  kFolderInTheWay = 4,
  kHeldByAnother = 8,
  kCopyCutShort = 16,
};

struct Entry {
  std::string text;
  std::uint16_t type;
};

struct Paths {
  std::string buffer;
  std::string target;
  Paths() {
    const std::string& root = kvfuzz::ScratchRoot();
    std::filesystem::create_directories(root + "/buffer");
    std::filesystem::create_directories(root + "/logs");
    buffer = root + "/buffer/KVLogService.buf";
    target = root + "/logs/kvs20240305140709.log";
  }
};

const Paths& Files() {
  static const Paths paths;
  return paths;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  FUZZ_CHECK(in.good());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t CountLineEnds(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find(kLineEnd); at != std::string_view::npos; at = text.find(kLineEnd, at + 2)) ++count;
  return count;
}

// The text split at each CR LF; the text ends with one.
std::vector<std::string> Pieces(std::string_view text) {
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find(kLineEnd, at);
    FUZZ_CHECK(end != std::string_view::npos);
    pieces.emplace_back(text.substr(at, end - at));
    at = end + kLineEnd.size();
  }
  return pieces;
}

std::vector<std::string> ReadBack(const kv::TLogBuffer& buffer) {
  std::vector<std::string> lines;
  for (const std::string& line : buffer) lines.push_back(line);
  FUZZ_CHECK(lines.size() == buffer.Count());
  return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty() && lines.size() < kMaxLines) {
    const std::size_t nul = text.find('\0');
    lines.emplace_back(text.substr(0, nul));
    text.remove_prefix(nul == std::string_view::npos ? text.size() : nul + 1);
  }
  return lines;
}

void Prepare(unsigned char flags, std::string_view left) {
  const Paths& files = Files();
  std::error_code ignored;
  std::filesystem::remove_all(files.buffer, ignored);
  std::filesystem::remove(files.target, ignored);
  std::filesystem::remove(kv::SaveJournal::PathFor(files.buffer), ignored);
  if (flags & kFolderInTheWay && left.empty()) {
    std::filesystem::create_directory(files.buffer);
  } else {
    kvfuzz::WriteFileBytes(files.buffer, left.data(), left.size());
  }
  const std::string_view held((flags & kTargetExists) ? kTargetHeld : std::string_view());
  if (flags & kCopyCutShort && !left.empty()) {
    std::string partial(held);
    partial.append(left.substr(0, left.size() / 2));
    kvfuzz::WriteFileBytes(files.target, partial.data(), partial.size());
    kv::SaveJournal{files.target, held.size(), left.size()}.Write(kv::SaveJournal::PathFor(files.buffer));
  } else if (!held.empty()) {
    kvfuzz::WriteFileBytes(files.target, held.data(), held.size());
  }
}

// A folder at the buffer's path: one warning, the lines stay in memory and
// a save writes them.
void CheckFolderInTheWay(unsigned char flags, const std::vector<std::string>& before,
                         const std::vector<std::string>& after) {
  const Paths& files = Files();
  std::vector<Entry> entries;
  kv::TLogBuffer buffer;
  buffer.SetReportSink([&](const std::string& text, std::uint16_t type) { entries.push_back({text, type}); });
  // An input's lines fit well in 1 MiB; the full bound's reservation would
  // cost milliseconds under the sanitizer.
  buffer.SetMemoryBound(1 << 20);
  for (const std::string& line : before) buffer.Add(line);
  FUZZ_CHECK(buffer.Attach(files.buffer) == 0);
  FUZZ_CHECK(entries.size() == 1);
  FUZZ_CHECK(entries[0].type == win::EVENTLOG_WARNING_TYPE);
  FUZZ_CHECK(entries[0].text.find(files.buffer + " cannot be opened") != std::string::npos);
  std::string expected((flags & kTargetExists) ? kTargetHeld : std::string_view());
  for (const std::string& line : before) expected += line + std::string(kLineEnd);
  for (const std::string& line : after) {
    buffer.Add(line);
    expected += line + std::string(kLineEnd);
  }
  buffer.WriteThrough();
  buffer.SaveAs(files.target);
  FUZZ_CHECK(buffer.Count() == 0);
  FUZZ_CHECK(ReadFile(files.target) == expected);
  FUZZ_CHECK(std::filesystem::is_directory(files.buffer));
}

void CheckHeldByAnother(std::string_view left) {
  const Paths& files = Files();
  win::LockedAppendFile other;
  FUZZ_CHECK(other.Open(files.buffer));
  kv::TLogBuffer buffer;
  bool refused = false;
  try {
    buffer.Attach(files.buffer);
  } catch (const kv::Exception& failure) {
    refused =
        std::string_view(failure.what()).find(files.buffer + " is in use by another process") != std::string_view::npos;
  }
  FUZZ_CHECK(refused);
  FUZZ_CHECK(!buffer.Attached());
  FUZZ_CHECK(ReadFile(files.buffer) == left);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Files();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned char flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t marker = rest.find(kMarker);
  const std::string_view left = rest.substr(0, marker);
  std::vector<std::string> before;
  std::vector<std::string> after =
      marker == std::string_view::npos ? std::vector<std::string>() : SplitLines(rest.substr(marker + kMarker.size()));
  if (flags & kLinesBeforeAttach) {
    const auto half = after.begin() + static_cast<std::ptrdiff_t>(after.size() / 2);
    before.assign(after.begin(), half);
    after.erase(after.begin(), half);
  }

  Prepare(flags, left);
  if (flags & kFolderInTheWay && left.empty()) {
    CheckFolderInTheWay(flags, before, after);
    return 0;
  }
  if (flags & kHeldByAnother) {
    CheckHeldByAnother(left);
    return 0;
  }

  const Paths& files = Files();
  // The text the file holds once recovered: a last line cut short goes.
  const std::size_t lastEnd = left.rfind(kLineEnd);
  std::string recovered(left.substr(0, lastEnd == std::string_view::npos ? 0 : lastEnd + kLineEnd.size()));
  const bool cutShort = recovered.size() < left.size();
  const std::size_t recoveredLines = CountLineEnds(recovered);

  std::string written = recovered;  // what the file must hold at the "crash"
  {
    std::vector<Entry> entries;
    kv::TLogBuffer buffer;
    buffer.SetReportSink([&](const std::string& text, std::uint16_t type) { entries.push_back({text, type}); });
    for (const std::string& line : before) buffer.Add(line);
    FUZZ_CHECK(buffer.Attach(files.buffer) == recoveredLines);
    if (flags & kCopyCutShort && !left.empty()) {
      // The half copy is gone from the log file; the lines are in the buffer.
      FUZZ_CHECK(entries.size() == (cutShort ? 2u : 1u) && entries[0].type == win::EVENTLOG_INFORMATION_TYPE);
      FUZZ_CHECK(entries[0].text.find("unfinished save from " + files.target) != std::string::npos);
      entries.erase(entries.begin());
      if (flags & kTargetExists) FUZZ_CHECK(ReadFile(files.target) == kTargetHeld);
      else FUZZ_CHECK(!std::filesystem::exists(files.target));
      FUZZ_CHECK(!std::filesystem::exists(kv::SaveJournal::PathFor(files.buffer)));
    }
    if (cutShort) {
      FUZZ_CHECK(entries.size() == 1 && entries[0].type == win::EVENTLOG_INFORMATION_TYPE);
      FUZZ_CHECK(entries[0].text.find("cut short at the end of " + files.buffer) != std::string::npos);
      entries.clear();
    }
    FUZZ_CHECK(buffer.Count() == recoveredLines + before.size());
    std::vector<std::string> lines = ReadBack(buffer);
    std::vector<std::string> expected = Pieces(recovered);
    expected.insert(expected.end(), before.begin(), before.end());
    FUZZ_CHECK(lines == expected);
    for (const std::string& line : after) buffer.Add(line);
    buffer.WriteThrough();
    for (const std::vector<std::string>* group : {&before, &after}) {
      for (const std::string& line : *group) written += line + std::string(kLineEnd);
    }
    FUZZ_CHECK(ReadFile(files.buffer) == written);
    FUZZ_CHECK(entries.empty());
  }

  // The next start: every line comes back, a piece per CR LF.
  kv::TLogBuffer next;
  const std::size_t lines = CountLineEnds(written);
  FUZZ_CHECK(next.Attach(files.buffer) == lines);
  FUZZ_CHECK(ReadBack(next) == Pieces(written));
  next.SaveAs(files.target);
  FUZZ_CHECK(next.Count() == 0);
  const std::string held((flags & kTargetExists) ? kTargetHeld : std::string_view());
  FUZZ_CHECK(ReadFile(files.target) == held + written);
  FUZZ_CHECK(std::filesystem::file_size(files.buffer) == 0);
  return 0;
}
