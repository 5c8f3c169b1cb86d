// The Windows SDK, included by the Windows backend only, after the platform
// headers it implements. The SDK maps many call names to their A or W
// variants with macros (MessageBox -> MessageBoxW); the platform headers use
// those very names for their own functions, so the macros are removed here
// and every call names its A variant outright.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>

#undef CopyFile
#undef CreateDirectory
#undef CreateService
#undef DeleteFile
#undef FindFirstFile
#undef FindNextFile
#undef GetFileAttributes
#undef GetModuleFileName
#undef GetPrivateProfileString
#undef MessageBox
#undef OpenSCManager
#undef OpenService
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef ReportEvent
#undef StartServiceCtrlDispatcher
#undef WritePrivateProfileString
#undef WIN32_FIND_DATA
#undef SERVICE_TABLE_ENTRY
#undef LPSERVICE_MAIN_FUNCTION
#undef INVALID_HANDLE_VALUE
#undef HKEY_LOCAL_MACHINE

namespace win::detail {

// The SDK's own invalid handle, whose macro is removed above so that the
// platform's INVALID_HANDLE_VALUE keeps its meaning in the backend.
inline ::HANDLE const kSystemInvalidHandle = reinterpret_cast<::HANDLE>(static_cast<LONG_PTR>(-1));
// The system's HKEY_LOCAL_MACHINE is the 32-bit number sign-extended.
inline ::HKEY const kSystemLocalMachine =
    reinterpret_cast<::HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(0x80000002u)));

}  // namespace win::detail
