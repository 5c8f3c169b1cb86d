#include "platform/thread_name.h"

#include <string>

#include "platform/win32/sdk.h"

namespace win {

void NameCurrentThread(std::string_view name) {
  // SetThreadDescription came with Windows 10 1607: looked up, not linked,
  // so that the program still starts where it is missing.
  using Describe = ::HRESULT(WINAPI*)(::HANDLE, ::PCWSTR);
  const ::HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return;
  const auto describe =
      reinterpret_cast<Describe>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetThreadDescription")));
  if (!describe) return;
  const std::wstring wide(name.begin(), name.end());
  describe(::GetCurrentThread(), wide.c_str());
}

}  // namespace win
