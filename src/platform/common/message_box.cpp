// MessageBox: the text is printed on the standard stream of its kind, where
// the process has one, and the backend shows the box where it can.
#include "platform/message_box.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/common/backend.h"

namespace win {

int MessageBox(const char* text, const char* caption, UINT type) {
  const UINT icon = type & MB_ICONMASK;
  const bool error = icon == MB_ICONERROR || icon == MB_ICONWARNING;
  std::string box = caption ? caption : "Error";
  box += '\n';
  std::string_view body = text ? text : "";
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
    box += body[i];
  }
  if (box.back() != '\n') box += '\n';
  static std::mutex printing;
  std::lock_guard<std::mutex> guard(printing);
  if (detail::HasStandardStream(error)) {
    std::FILE* stream = error ? stderr : stdout;
    std::fflush(stdout);
    std::fwrite(box.data(), 1, box.size(), stream);
    std::fflush(stream);
  }
  return detail::ShowMessageBox(text ? text : "", caption ? caption : "Error", type);
}

}  // namespace win
