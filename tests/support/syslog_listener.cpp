#include "support/syslog_listener.h"

#include <cctype>

namespace kvtest {

std::optional<SyslogEntry> ParseSyslogEntry(const std::string& datagram) {
  SyslogEntry entry;
  entry.raw = datagram;
  if (datagram.size() < 3 || datagram[0] != '<') return std::nullopt;
  std::size_t close = datagram.find('>');
  if (close == std::string::npos || close == 1 || close > 4) return std::nullopt;
  entry.pri = 0;
  for (std::size_t i = 1; i < close; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(datagram[i]))) return std::nullopt;
    entry.pri = entry.pri * 10 + (datagram[i] - '0');
  }
  // "Mmm dd hh:mm:ss " is 16 characters.
  std::size_t pos = close + 1;
  if (datagram.size() < pos + 16 || datagram[pos + 15] != ' ') return std::nullopt;
  entry.timestamp = datagram.substr(pos, 15);
  pos += 16;
  std::size_t open = datagram.find('[', pos);
  std::size_t end = datagram.find("]: ", pos);
  if (open == std::string::npos || end == std::string::npos || end < open) return std::nullopt;
  entry.tag = datagram.substr(pos, open - pos);
  std::string pid = datagram.substr(open + 1, end - open - 1);
  if (pid.empty() || pid.size() > 10) return std::nullopt;
  for (char c : pid) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  entry.pid = std::stol(pid);
  entry.message = datagram.substr(end + 3);
  return entry;
}

SyslogListener::SyslogListener(const ScopedPlatformRoot& root) : collector_(root.Sub("dev/log")) {}

std::vector<SyslogEntry> SyslogListener::Entries() const {
  std::vector<SyslogEntry> entries;
  for (const auto& d : collector_.Datagrams()) {
    if (auto entry = ParseSyslogEntry(d)) entries.push_back(*entry);
  }
  return entries;
}

std::vector<SyslogEntry> SyslogListener::EntriesOf(const std::string& tag) const {
  std::vector<SyslogEntry> entries;
  for (auto& entry : Entries()) {
    if (entry.tag == tag) entries.push_back(entry);
  }
  return entries;
}

bool SyslogListener::WaitForEntries(std::size_t count, std::chrono::milliseconds timeout) const {
  std::size_t seen = 0;
  std::size_t entries = 0;
  return collector_.WaitUntil(
      [&](const auto& datagrams) {
        for (; seen < datagrams.size(); ++seen) entries += ParseSyslogEntry(datagrams[seen]) ? 1 : 0;
        return entries >= count;
      },
      timeout);
}

std::optional<SyslogEntry> SyslogListener::WaitForMessage(const std::string& text,
                                                          std::chrono::milliseconds timeout) const {
  std::optional<SyslogEntry> found;
  std::size_t seen = 0;
  collector_.WaitUntil(
      [&](const auto& datagrams) {
        for (; seen < datagrams.size(); ++seen) {
          auto entry = ParseSyslogEntry(datagrams[seen]);
          if (entry && entry->message.find(text) != std::string::npos) {
            found = entry;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

}  // namespace kvtest
