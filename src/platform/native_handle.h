// NativeHandle: owns one handle of the system (a file descriptor on POSIX, a
// file HANDLE on Windows) and closes it once, in its destructor or in Reset.
// The value is kept as a plain integer, so the layer's public headers may
// keep one as a member without naming the system's types; -1 (the invalid
// descriptor, and INVALID_HANDLE_VALUE) means none.
#pragma once

#include <cstdint>
#include <utility>

namespace win {

class NativeHandle {
 public:
  static constexpr std::intptr_t kNone = -1;

  NativeHandle() = default;
  explicit NativeHandle(std::intptr_t value) : value_(value) {}
  ~NativeHandle() { Reset(); }
  NativeHandle(NativeHandle&& other) noexcept : value_(other.Release()) {}
  NativeHandle& operator=(NativeHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  NativeHandle(const NativeHandle&) = delete;
  NativeHandle& operator=(const NativeHandle&) = delete;

  std::intptr_t Get() const { return value_; }
  bool Valid() const { return value_ != kNone; }
  explicit operator bool() const { return Valid(); }

  // Gives the handle up without closing it.
  std::intptr_t Release() { return std::exchange(value_, kNone); }
  // Closes the held handle (if any) and takes `value`. Each backend
  // implements it with its own close call.
  void Reset(std::intptr_t value = kNone);

 private:
  std::intptr_t value_ = kNone;
};

}  // namespace win
