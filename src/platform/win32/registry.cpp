// The system registry. Platform key handles are the system's own, except
// the platform's HKEY_LOCAL_MACHINE, which stands for the system's.
#include "platform/registry.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/win32/sdk.h"

namespace win {
namespace {

::HKEY SystemKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return detail::kSystemLocalMachine;
  return reinterpret_cast<::HKEY>(key);
}

}  // namespace

LONG RegOpenKeyEx(HKEY key, const std::string& subKey, DWORD options, REGSAM access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  // A leading backslash names the path from the root key, which the system
  // call would refuse.
  std::string path = subKey;
  if (!path.empty() && path.front() == '\\') path.erase(0, 1);
  ::HKEY opened = nullptr;
  LONG err = ::RegOpenKeyExA(SystemKey(key), path.c_str(), options, access, &opened);
  if (err == ERROR_SUCCESS) *result = reinterpret_cast<HKEY>(opened);
  return err;
}

LONG RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* reserved, DWORD* type, BYTE* data,
                     DWORD* dataSize) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  ::DWORD systemType = 0;
  ::DWORD size = dataSize ? *dataSize : 0;
  LONG err =
      ::RegQueryValueExA(SystemKey(key), valueName.c_str(), nullptr, &systemType, data, dataSize ? &size : nullptr);
  if (type && (err == ERROR_SUCCESS || err == ERROR_MORE_DATA)) *type = systemType;
  if (dataSize && (err == ERROR_SUCCESS || err == ERROR_MORE_DATA)) *dataSize = size;
  return err;
}

LONG RegSetValueEx(HKEY key, const std::string& valueName, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD dataSize) {
  return ::RegSetValueExA(SystemKey(key), valueName.c_str(), reserved, type, data, dataSize);
}

LONG RegSetTextValue(HKEY key, const std::string& valueName, std::string_view utf8) {
  const std::u16string name = AnsiToWideChar(valueName);
  const std::u16string text = MultiByteToWideChar(CP_UTF8, utf8);
  return ::RegSetValueExW(SystemKey(key), reinterpret_cast<const wchar_t*>(name.c_str()), 0, REG_SZ,
                          reinterpret_cast<const ::BYTE*>(text.c_str()),
                          static_cast<::DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return ::RegCloseKey(SystemKey(key));
}

std::string DefaultProgramFilesDir() {
  // The folder the system itself names; "C:\Program Files" when even that
  // cannot be had.
  char buffer[MAX_PATH + 1] = {};
  DWORD length = ::GetEnvironmentVariableA("ProgramFiles", buffer, sizeof(buffer));
  if (length > 0 && length < sizeof(buffer)) return std::string(buffer, length);
  return "C:\\Program Files";
}

}  // namespace win
