// The Windows SDK for the service-side files of the Windows backend: the
// backend's windows_api.h, and the few macros more these files meet, whose
// names the platform headers use for their own declarations.
#pragma once

#include "platform/win32/windows_api.h"

#undef CopyFile
#undef WIN32_FIND_DATA
#undef SERVICE_TABLE_ENTRY
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
