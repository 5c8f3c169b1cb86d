// kvlogserver's switches on any command line: a switch is found exactly
// when one word after the program path is "/" or "-" and its name in any
// letter case.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "args.h"
#include "fuzz_check.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args = kvfuzz::SplitArgs(data, size);
  for (const char* name : {"INSTALL", "UNINSTALL", "SILENT"}) {
    bool expected = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
      expected = expected || Upper(args[i]) == "/" + std::string(name) || Upper(args[i]) == "-" + std::string(name);
    }
    FUZZ_CHECK(kv::HasSwitch(args, name) == expected);
  }
  return 0;
}
