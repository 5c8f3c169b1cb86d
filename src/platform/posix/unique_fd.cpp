#include "platform/posix/detail/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace win::detail {

void UniqueFd::Reset(int fd) {
  int old = std::exchange(fd_, fd);
  if (old >= 0) ::close(old);
}

int UniqueFd::Close() {
  int old = std::exchange(fd_, -1);
  if (old < 0) return 0;
  if (::close(old) == 0 || errno == EINTR) return 0;
  return errno;
}

}  // namespace win::detail
