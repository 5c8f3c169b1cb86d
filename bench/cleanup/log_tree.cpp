#include "log_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace kvbench {
namespace {

constexpr std::size_t kTopFolders = 20;
constexpr std::size_t kSubFolders = 10;
constexpr std::size_t kOldEvery = 100;
constexpr std::time_t kOldAge = 60 * 24 * 60 * 60;

void CreateEmpty(const std::string& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + file);
  ::close(fd);
}

}  // namespace

LogTree::LogTree(std::size_t count) : fileCount_(count) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvbench-logs-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  const std::size_t folders = kTopFolders * kSubFolders;
  for (std::size_t top = 0; top < kTopFolders; ++top) {
    for (std::size_t sub = 0; sub < kSubFolders; ++sub) {
      std::filesystem::create_directories(path_ + "/d" + std::to_string(top) + "/e" + std::to_string(sub));
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t folder = i % folders;
    char name[64];
    std::snprintf(name, sizeof name, "/d%zu/e%zu/kvs%014zu.log", folder / kSubFolders, folder % kSubFolders,
                  20240101000000 + i);
    const std::string file = path_ + name;
    CreateEmpty(file);
    if (i % kOldEvery == 0) {
      MakeOld(file);
      oldFiles_.push_back(file);
    }
  }
}

LogTree::~LogTree() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void LogTree::MakeOld(const std::string& file) const {
  timespec times[2]{};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = std::time(nullptr) - kOldAge;
  if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0) throw std::runtime_error("cannot date " + file);
}

void LogTree::RestoreOldFiles() const {
  for (const std::string& file : oldFiles_) {
    CreateEmpty(file);
    MakeOld(file);
  }
}

std::size_t LogTree::OldFilesPresent() const {
  std::size_t present = 0;
  struct stat st {};
  for (const std::string& file : oldFiles_) {
    if (::stat(file.c_str(), &st) == 0) ++present;
  }
  return present;
}

}  // namespace kvbench
