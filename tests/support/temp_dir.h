// Temporary folders for tests, removed with everything in them.
#pragma once

#include <string>

namespace kvtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + relative
  std::string Sub(const std::string& relative) const;

 private:
  std::string path_;
};

// A fresh temporary platform root (KV_PLATFORM_ROOT) with etc/ and dev/,
// restored to the previous value on destruction.
class ScopedPlatformRoot {
 public:
  ScopedPlatformRoot();
  ~ScopedPlatformRoot();
  ScopedPlatformRoot(const ScopedPlatformRoot&) = delete;
  ScopedPlatformRoot& operator=(const ScopedPlatformRoot&) = delete;

  const std::string& Path() const { return dir_.Path(); }
  std::string Sub(const std::string& relative) const { return dir_.Sub(relative); }

 private:
  TempDir dir_;
  bool hadPrevious_ = false;
  std::string previous_;
};

// Whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace kvtest
