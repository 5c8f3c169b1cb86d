// The last resort for a failure that nothing caught: the "Application
// Error" box.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace kv {

// "Exception <kind> in module <file> at <address>.\r\n<message><.>\r\n":
// the failure's class name, the executable's file name, an address that
// identifies the failure, its message and a full stop unless the message
// already ends in one (or is empty).
std::string ApplicationErrorText(std::string_view className, std::string_view moduleName, const void* address,
                                 std::string_view message);

// The text above for the failure in `failure`, shown in a box of the error
// kind captioned "Application Error". Never throws. Any thread.
void ShowUnhandledFailure(std::exception_ptr failure);

}  // namespace kv
