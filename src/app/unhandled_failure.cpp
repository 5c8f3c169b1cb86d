#include "app/unhandled_failure.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "app/app_texts.h"
#include "app/executable_name.h"
#include "base/exception.h"
#include "platform/message_box.h"

namespace kv {
namespace {

// "00007F..." : the address in upper-case hexadecimal, all digits.
std::string AddressText(const void* address) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  auto value = reinterpret_cast<std::uintptr_t>(address);
  std::string text(sizeof(value) * 2, '0');
  for (std::size_t i = text.size(); i-- > 0; value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

// The readable name of a C++ type ("std::bad_alloc").
std::string TypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace

std::string ApplicationErrorText(std::string_view className, std::string_view moduleName, const void* address,
                                 std::string_view message) {
  std::string text = "Exception ";
  text += className;
  text += " in module ";
  text += moduleName;
  text += " at " + AddressText(address) + ".\r\n";
  text += message;
  if (!message.empty() && message.back() != '.') text += '.';
  text += "\r\n";
  return text;
}

void ShowUnhandledFailure(std::exception_ptr failure) {
  std::string text;
  try {
    try {
      std::rethrow_exception(failure);
    } catch (const Exception& e) {
      text = ApplicationErrorText(e.ClassName(), ExecutableFileName(), &e, e.Message());
    } catch (const std::exception& e) {
      text = ApplicationErrorText(TypeName(typeid(e)), ExecutableFileName(), &e, e.what());
    } catch (...) {
      text = ApplicationErrorText("Exception", ExecutableFileName(), nullptr, "Unknown exception");
    }
    win::MessageBox(text.c_str(), std::string(ApplicationErrorCaption).c_str(),
                    win::MB_OK | win::MB_ICONERROR | win::MB_TASKMODAL);
  } catch (...) {
    // Nothing more can be reported.
  }
}

}  // namespace kv
