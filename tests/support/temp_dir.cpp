#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/env.h"

namespace kvtest {

TempDir::TempDir() {
#ifdef _WIN32
  // No mkdtemp there: a random name that create_directory made anew.
  std::random_device random;
  for (int attempt = 0; path_.empty(); ++attempt) {
    if (attempt == 100) throw std::runtime_error("no temporary folder could be made");
    auto candidate = std::filesystem::temp_directory_path() / ("kvtest-" + std::to_string(random()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
  }
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
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

std::string TempDir::Sub(const std::string& relative) const {
#ifdef _WIN32
  return path_ + "\\" + relative;
#else
  return path_ + "/" + relative;
#endif
}

ScopedPlatformRoot::ScopedPlatformRoot() {
  if (const char* old = std::getenv("KV_PLATFORM_ROOT")) {
    hadPrevious_ = true;
    previous_ = old;
  }
  std::filesystem::create_directories(dir_.Sub("etc"));
  std::filesystem::create_directories(dir_.Sub("dev"));
  SetEnv("KV_PLATFORM_ROOT", dir_.Path().c_str());
}

ScopedPlatformRoot::~ScopedPlatformRoot() {
  if (hadPrevious_) SetEnv("KV_PLATFORM_ROOT", previous_.c_str());
  else UnsetEnv("KV_PLATFORM_ROOT");
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
