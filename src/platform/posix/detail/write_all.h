// WriteAll: writes a whole buffer to a descriptor, going on after short
// writes and EINTR.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace win::detail {

// 0 when all `size` bytes are written, else the errno of the failing write
// (ENOSPC for a write that takes nothing). `*written` gets the bytes that
// went out either way.
inline int WriteAll(int fd, const void* data, std::size_t size, std::size_t* written = nullptr) {
  const char* next = static_cast<const char*>(data);
  std::size_t done = 0;
  int err = 0;
  while (done < size) {
    ssize_t n = ::write(fd, next + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n == 0 ? ENOSPC : errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (written) *written = done;
  return err;
}

}  // namespace win::detail
