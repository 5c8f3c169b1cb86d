// Writes entries to the event log under one event source.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/eventlog.h"

namespace kv {

// Owns the event source handle, registered by the first entry and retried
// with every entry while registration fails; released at destruction.
// Not thread-safe: one thread at a time.
class TEventLogger {
 public:
  explicit TEventLogger(std::string eventSourceName);
  ~TEventLogger();
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  const std::string& EventSourceName() const { return eventSourceName_; }

  // Writes `message` (ANSI text, as is) as the entry's one insertion
  // string. Never fails: an entry that cannot be written is dropped.
  void WriteEntry(std::string_view message, std::uint32_t eventType, std::uint16_t category, std::uint32_t eventId);

 private:
  std::string eventSourceName_;
  win::HEVENTLOG eventSourceHandle_ = nullptr;
};

}  // namespace kv
