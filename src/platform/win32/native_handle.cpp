// A file HANDLE closed with CloseHandle.
#include "platform/native_handle.h"

#include "platform/win32/windows_api.h"

namespace win {

void NativeHandle::Reset(std::intptr_t value) {
  const std::intptr_t old = std::exchange(value_, value);
  if (old != kNone) ::CloseHandle(reinterpret_cast<::HANDLE>(old));
}

}  // namespace win
