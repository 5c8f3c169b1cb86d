#include "platform/message_box.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace win {

int MessageBox(const char* text, const char* caption, UINT type) {
  UINT icon = type & MB_ICONMASK;
  std::FILE* stream = icon == MB_ICONERROR || icon == MB_ICONWARNING ? stderr : stdout;
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
  std::fflush(stdout);
  std::fwrite(box.data(), 1, box.size(), stream);
  std::fflush(stream);
  return IDOK;
}

}  // namespace win
