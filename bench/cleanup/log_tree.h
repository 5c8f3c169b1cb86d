// A temporary log folder tree for the cleanup benchmark: `count` log files
// spread evenly over 20 folders of 10 subfolders each; every 100th file was
// last written 60 days ago, the others now. Removed with everything in it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kvbench {

// Owns the temporary folder. Main thread only.
class LogTree {
 public:
  explicit LogTree(std::size_t count);
  ~LogTree();
  LogTree(const LogTree&) = delete;
  LogTree& operator=(const LogTree&) = delete;

  const std::string& Path() const { return path_; }
  std::size_t FileCount() const { return fileCount_; }
  std::size_t OldCount() const { return oldFiles_.size(); }

  // Makes the old files again (a cleanup run deletes them).
  void RestoreOldFiles() const;
  // How many of the old files exist now.
  std::size_t OldFilesPresent() const;

 private:
  void MakeOld(const std::string& file) const;

  std::string path_;
  std::size_t fileCount_ = 0;
  std::vector<std::string> oldFiles_;
};

}  // namespace kvbench
