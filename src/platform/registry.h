// The part of the Windows registry the program uses: values under
// HKEY_LOCAL_MACHINE, read and written with the registry functions' rules
// (key and value names without regard to letter case). The functions return
// Windows error numbers (ERROR_SUCCESS when they succeed), as the registry
// functions do, and are safe from any thread.
// POSIX: the keys live in a text store under the platform root, and the key
// of a service (SYSTEM\CurrentControlSet\Services\<name>) exists exactly
// while the service manager has the service.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace win {

struct RegistryKeyObject;
using HKEY = RegistryKeyObject*;
using LONG = std::int32_t;
using REGSAM = DWORD;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<UINT_PTR>(0x80000002u));

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Access rights.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr REGSAM STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr REGSAM STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr REGSAM KEY_READ = STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM KEY_WRITE = STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr REGSAM KEY_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                  KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;

// Opens `subKey` below `key` (HKEY_LOCAL_MACHINE or an open key). A leading
// backslash starts at the root key. Fails with ERROR_FILE_NOT_FOUND when the
// key does not exist and ERROR_ACCESS_DENIED when write access is asked for
// and the caller may not write the key. Close the key with RegCloseKey.
LONG RegOpenKeyEx(HKEY key, const std::string& subKey, DWORD options, REGSAM access, HKEY* result);

// Reads a value. `type` and `data` may be null. With `data` null, `*dataSize`
// receives the size; with a buffer too small, ERROR_MORE_DATA and the size
// needed. String data includes its terminating NUL. ERROR_FILE_NOT_FOUND
// when the value is missing.
LONG RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);

// Writes a value (REG_SZ, REG_EXPAND_SZ, REG_DWORD). The key must have been
// opened with KEY_SET_VALUE (else ERROR_ACCESS_DENIED). POSIX: a string
// holding a line break cannot be stored (ERROR_INVALID_PARAMETER).
LONG RegSetValueEx(HKEY key, const std::string& valueName, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD dataSize);

// Writes a REG_SZ value from a UTF-8 text, so that a text outside the ANSI
// code page (a Japanese text on a system with code page 1252) keeps its
// characters. POSIX: the ANSI text through RegSetValueEx.
LONG RegSetTextValue(HKEY key, const std::string& valueName, std::string_view utf8);

LONG RegCloseKey(HKEY key);

// The Program Files directory of a system whose registry does not say
// ("C:\Program Files"; POSIX: `<root>/opt`).
std::string DefaultProgramFilesDir();

}  // namespace win
