#include "app/executable_name.h"

#include "platform/filesystem.h"
#include "platform/module.h"

namespace kv {

std::string ExecutableFileName() {
  std::string path = win::ModuleFileName();
  std::string::size_type slash = path.find_last_of(win::PathDelim);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kv
