// The system event log (the Application log), through RegisterEventSourceA
// and ReportEventA. A service run in a terminal writes its entries to
// standard error instead.
#include "platform/eventlog.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/handle_table.h"
#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {

// One registered source: the system's handle and the name, which the
// entries on standard error carry.
struct EventSourceObject {
  ::HANDLE system = nullptr;
  std::string name;
  ~EventSourceObject() {
    if (system) ::DeregisterEventSource(system);
  }
};

namespace {

std::atomic<bool> gStandardErrorOnly{false};

detail::HandleTable<HEVENTLOG, EventSourceObject>& Sources() {
  static detail::HandleTable<HEVENTLOG, EventSourceObject> table;
  return table;
}

void WriteToStandardError(const std::string& source, const std::string& message) {
  std::string line = source + ": " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void SetEventLogToStandardError(bool only) { gStandardErrorOnly = only; }

HEVENTLOG RegisterEventSource(const char* server, const char* sourceName) {
  if ((server && *server) || !sourceName || !*sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ::HANDLE system = ::RegisterEventSourceA(nullptr, sourceName);
  if (!system) return nullptr;
  auto source = std::make_shared<EventSourceObject>();
  source->system = system;
  source->name = sourceName;
  return Sources().Add(std::move(source));
}

BOOL ReportEvent(HEVENTLOG handle, WORD type, WORD category, DWORD eventId, const void* /*sid*/, WORD numStrings,
                 DWORD /*dataSize*/, const char** strings, const void* /*data*/) {
  std::shared_ptr<const EventSourceObject> source = Sources().Find(handle);
  if (!source) return detail::Fail(ERROR_INVALID_HANDLE);
  // The insertion strings joined by blanks make one entry's text, as on the
  // other backend, so that every entry reads whole in any viewer.
  std::string message;
  for (WORD i = 0; i < numStrings && strings; ++i) {
    if (i > 0) message += ' ';
    if (strings[i]) message += strings[i];
  }
  if (gStandardErrorOnly.load()) {
    WriteToStandardError(source->name, message);
    return TRUE_;
  }
  const char* text[1] = {message.c_str()};
  if (!::ReportEventA(source->system, type, category, eventId, nullptr, 1, 0, text, nullptr)) {
    const DWORD error = GetLastError();
    WriteToStandardError(source->name, message);
    SetLastError(error);
  }
  return TRUE_;
}

BOOL DeregisterEventSource(HEVENTLOG source) {
  if (!Sources().Remove(source)) return detail::Fail(ERROR_INVALID_HANDLE);
  return TRUE_;
}

}  // namespace win
