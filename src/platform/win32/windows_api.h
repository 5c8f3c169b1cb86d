// The Windows API headers for the files of the Windows backend.
//
// Include it after every platform header the file needs: the platform
// headers declare constants of the same names as the system's macros
// (WM_TIMER, ERROR_ACCESS_DENIED, SERVICE_RUNNING, ...), which must be
// declared before the macros exist. After this header, use those names
// unqualified (the macro and our constant have the same value) and the
// system's structures with `::` (::MSG, ::SYSTEMTIME, ::sockaddr_in).
//
// The system maps each text function to its A or W variant by a macro
// (GetMessage -> GetMessageA). Where the platform headers declare a
// function of that name, the macro is removed here, so that the backend
// defines win::GetMessage itself, the name the program calls; the backend
// calls the system's A variants by their full names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>
// clang-format on

#undef CreateDirectory
#undef CreateService
#undef DefWindowProc
#undef DeleteFile
#undef DispatchMessage
#undef FindFirstFile
#undef FindNextFile
#undef FormatMessage
#undef GetFileAttributes
#undef GetMessage
#undef GetModuleFileName
#undef GetPrivateProfileString
#undef LPSERVICE_MAIN_FUNCTION
#undef MessageBox
#undef OpenSCManager
#undef OpenService
#undef PeekMessage
#undef PostMessage
#undef PostThreadMessage
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef SendMessage
#undef StartServiceCtrlDispatcher
#undef WritePrivateProfileString
