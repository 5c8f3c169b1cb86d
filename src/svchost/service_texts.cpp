#include "svchost/service_texts.h"

#include <exception>

#include "base/exception.h"
#include "base/format.h"
#include "platform/codepage.h"

namespace kv {

std::string ServiceFailedMessage(std::string_view nameUtf8, std::string_view failureText) {
  std::string name = win::Utf8ToAnsi(nameUtf8);
  return Format(win::Utf8ToAnsi(ServiceFailedFormat), {name, failureText});
}

std::string CustomControlFailedMessage(std::uint32_t control, std::string_view failureText) {
  return Format(win::Utf8ToAnsi(CustomControlFailedFormat), {static_cast<std::int64_t>(control), failureText});
}

std::string CurrentFailureText() {
  try {
    throw;
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace kv
