// Plain recursive walks of a folder tree with a stat of every entry: the
// baselines of the cleanup benchmark. Each returns the number of regular
// files seen.
#pragma once

#include <cstddef>
#include <string>

namespace kvbench {

// opendir/readdir, stat() of every entry by its full path, recursing into
// the folders.
std::size_t WalkWithReaddir(const std::string& folder);

// nftw() without following links (one lstat per entry).
std::size_t WalkWithNftw(const std::string& folder);

}  // namespace kvbench
