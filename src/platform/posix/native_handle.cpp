#include "platform/native_handle.h"

#include <unistd.h>

namespace win {

void NativeHandle::Reset(std::intptr_t value) {
  const std::intptr_t old = std::exchange(value_, value);
  if (old != kNone) ::close(static_cast<int>(old));
}

}  // namespace win
