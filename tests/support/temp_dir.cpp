#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kvtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only emulation uses permission bits: give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Sub(const std::string& relative) const { return path_ + "/" + relative; }

ScopedPlatformRoot::ScopedPlatformRoot() {
  if (const char* old = std::getenv("KV_PLATFORM_ROOT")) {
    hadPrevious_ = true;
    previous_ = old;
  }
  std::filesystem::create_directories(dir_.Sub("etc"));
  std::filesystem::create_directories(dir_.Sub("dev"));
  setenv("KV_PLATFORM_ROOT", dir_.Path().c_str(), 1);
}

ScopedPlatformRoot::~ScopedPlatformRoot() {
  if (hadPrevious_) setenv("KV_PLATFORM_ROOT", previous_.c_str(), 1);
  else unsetenv("KV_PLATFORM_ROOT");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace kvtest
