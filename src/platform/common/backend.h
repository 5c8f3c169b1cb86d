// What each backend (posix/, win32/) provides to the code both share
// (common/), and what the shared code offers the backends back. Internal to
// the platform layer.
#pragma once

#include <string>

#include "platform/types.h"
#include "platform/winsock.h"

namespace win::detail {

// The manual test clock (common/monotonic_clock.cpp) ---------------------

// True while a ManualMonotonicClock stands in for the system clock: timer
// deadlines then come by Advance, not by the passing of real time. Safe
// from any thread.
bool ManualClockInForce();
// Backend: the manual clock has moved on; the timers it has brought due
// must tick. Safe from any thread.
void ManualClockMoved();
// Backend: the manual clock has gone and the one before it (the system
// clock, or an outer manual one) is in force again. Safe from any thread.
void ManualClockGone();

// The system's error texts (common/system_texts.cpp) -----------------------

// Backend: the system's own text of `code`, without the trailing line end;
// "" when it has none.
std::string SystemErrorText(DWORD code);

// Message boxes (common/message_box.cpp) -----------------------------------

// Backend: whether the process has the standard stream that a box of its
// kind is printed on (standard error for errors and warnings, standard
// output for the others).
bool HasStandardStream(bool error);
// Backend: shows the box where the process can show one and returns the
// button pressed; IDOK where no box can be seen. Called with the printing
// lock held, so one box is done before the next.
int ShowMessageBox(const char* text, const char* caption, UINT type);

// Windows Sockets (common/winsock.cpp) --------------------------------------

// The version part of WSAStartup, the same on both backends: fills `data`
// for version 1.1 and returns 0 for a request of 1.1 or higher; WSAEFAULT
// for a null `data`, WSAVERNOTSUPPORTED (with wHighVersion 1.1) below 1.1.
int NegotiateWinsockVersion(WORD versionRequested, WSADATA* data);

}  // namespace win::detail
