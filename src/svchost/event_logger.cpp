#include "svchost/event_logger.h"

namespace kv {

TEventLogger::TEventLogger(std::string eventSourceName) : eventSourceName_(std::move(eventSourceName)) {}

TEventLogger::~TEventLogger() {
  if (eventSourceHandle_) win::DeregisterEventSource(eventSourceHandle_);
}

void TEventLogger::WriteEntry(std::string_view message, std::uint32_t eventType, std::uint16_t category,
                              std::uint32_t eventId) {
  if (!eventSourceHandle_) eventSourceHandle_ = win::RegisterEventSource(nullptr, eventSourceName_.c_str());
  std::string text(message);
  const char* strings[1] = {text.c_str()};
  // Without a handle the report fails quietly; the next entry registers again.
  win::ReportEvent(eventSourceHandle_, static_cast<win::WORD>(eventType), category, eventId, nullptr, 1, 0, strings,
                   nullptr);
}

}  // namespace kv
