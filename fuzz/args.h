// A command line from fuzz input: words separated by NUL bytes, as the
// kernel hands them to a program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvfuzz {

inline std::vector<std::string> SplitArgs(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) args.push_back(word);
  return args;
}

}  // namespace kvfuzz
