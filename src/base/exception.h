// Failures are exceptions that carry a message text; the class name is part
// of what the host reports for a failure that nothing caught.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kv {

// The general failure: a message text and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  // Name of the failure's kind, as shown in "Exception %s in module ...".
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// A failed operating-system call: "System Error.  Code: %d.\r\n%s", or "A
// call to an OS function failed" when the error code is 0.
class EOSError : public Exception {
 public:
  explicit EOSError(std::uint32_t code);
  std::uint32_t ErrorCode() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "EOSError"; }

 private:
  std::uint32_t code_;
};

// Raises EOSError for the calling thread's last error.
[[noreturn]] void RaiseLastOSError();

// A failed file operation: "I/O error %d", with the texts of the codes 2 to 5
// ("File not found", "Invalid filename", "Too many open files", "File access
// denied").
class EInOutError : public Exception {
 public:
  explicit EInOutError(int code);
  int ErrorCode() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "EInOutError"; }

  static std::string TextFor(int code);

 private:
  int code_;
};

// A failure that has been reported already: it still ends the operation
// that raised it, but failure handlers pass over it in silence.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
  const char* ClassName() const noexcept override { return "EAbort"; }
};

// The system message text for `code` with trailing control characters,
// blanks and full stops removed (as the host writes it to the event log).
std::string SysErrorMessage(std::uint32_t code);

}  // namespace kv
