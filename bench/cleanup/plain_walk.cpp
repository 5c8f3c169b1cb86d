#include "plain_walk.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <cstring>

namespace kvbench {

std::size_t WalkWithReaddir(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  std::size_t files = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const std::string path = folder + "/" + entry->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      files += WalkWithReaddir(path);
    } else if (S_ISREG(st.st_mode)) {
      ++files;
    }
  }
  ::closedir(dir);
  return files;
}

namespace {

thread_local std::size_t nftwFiles = 0;

int CountFile(const char*, const struct stat*, int type, FTW*) {
  if (type == FTW_F) ++nftwFiles;
  return 0;
}

}  // namespace

std::size_t WalkWithNftw(const std::string& folder) {
  nftwFiles = 0;
  ::nftw(folder.c_str(), CountFile, 32, FTW_PHYS);
  return nftwFiles;
}

}  // namespace kvbench
