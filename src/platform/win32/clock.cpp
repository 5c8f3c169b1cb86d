// The system clock: GetLocalTime and GetSystemTime themselves.
#include "platform/clock.h"

#include "platform/win32/windows_api.h"

namespace win {
namespace {

void Copy(const ::SYSTEMTIME& from, SYSTEMTIME* to) {
  *to = SYSTEMTIME{from.wYear, from.wMonth,  from.wDayOfWeek, from.wDay,
                   from.wHour, from.wMinute, from.wSecond,    from.wMilliseconds};
}

}  // namespace

void GetLocalTime(SYSTEMTIME* st) {
  ::SYSTEMTIME now;
  ::GetLocalTime(&now);
  Copy(now, st);
}

void GetSystemTime(SYSTEMTIME* st) {
  ::SYSTEMTIME now;
  ::GetSystemTime(&now);
  Copy(now, st);
}

}  // namespace win
