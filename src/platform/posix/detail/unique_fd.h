// UniqueFd: owns one file descriptor and closes it once, in its destructor
// or in Reset/Close. The platform layer's one descriptor owner. The header
// holds no operating-system names, so the layer's public headers may keep
// one as a member.
#pragma once

#include <utility>

namespace win::detail {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }

  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor (if any) and takes `fd`.
  void Reset(int fd = -1);

  // Closes the descriptor and returns close's errno, 0 on success. EINTR
  // counts as success: on Linux the descriptor is released anyway, and a
  // retry could close a descriptor another thread has just been given.
  int Close();

 private:
  int fd_ = -1;
};

}  // namespace win::detail
