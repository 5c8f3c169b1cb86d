// The journal of a save that copies the buffer file to the end of a log
// file. A process that dies during such a copy (or after it, before the
// buffer is emptied) leaves the lines in the buffer file and all or part of
// them in the log file; the journal says how long the log file was before,
// so the next start cuts it back and the lines are saved once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

struct SaveJournal {
  std::string target;             // the log file the lines went to
  std::uint64_t targetBytes = 0;  // its size before the save
  std::uint64_t bufferBytes = 0;  // the buffer file's size at the save

  // The journal kept beside the buffer file at `bufferPath`.
  static std::string PathFor(const std::string& bufferPath);

  // Writes the journal durably; false when it cannot be written.
  bool Write(const std::string& path) const;
  // The journal at `path`; none when there is none or it cannot be read.
  static std::optional<SaveJournal> Read(const std::string& path);
  static void Remove(const std::string& path);

  // Whether a log file of `targetNow` bytes and a buffer file of
  // `bufferNow` bytes are what the copy leaves when it was cut short: the
  // buffer unchanged and the log file grown by at most the buffer's bytes.
  bool Unfinished(std::uint64_t targetNow, std::uint64_t bufferNow) const {
    return bufferBytes > 0 && bufferNow == bufferBytes && targetNow >= targetBytes &&
           targetNow - targetBytes <= bufferBytes;
  }
};

}  // namespace kv
