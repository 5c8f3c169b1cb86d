#include "scratch_root.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kvfuzz {
namespace {

struct Root {
  std::string path;
  Root() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvfuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
    std::filesystem::create_directories(path + "/etc/systemd/system");
    std::filesystem::create_directories(path + "/opt/KelvaneSystem");
    setenv("KV_PLATFORM_ROOT", path.c_str(), 1);
  }
  ~Root() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

const std::string& ScratchRoot() {
  static Root root;
  return root.path;
}

void WriteFileBytes(const std::string& path, const char* bytes, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes, static_cast<std::streamsize>(size));
  if (!out) {
    std::perror(path.c_str());
    std::abort();
  }
}

}  // namespace kvfuzz
