// The system clock as Windows reports it.
#pragma once

#include "platform/types.h"

namespace win {

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Current local time (the process's time zone).
void GetLocalTime(SYSTEMTIME* st);
// Current UTC time.
void GetSystemTime(SYSTEMTIME* st);

}  // namespace win
