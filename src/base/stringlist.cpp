#include "base/stringlist.h"

#include <cstring>

namespace kv {

std::string_view TStringList::View(const char* entry) {
  std::uint32_t length;
  std::memcpy(&length, entry, sizeof length);
  return {entry + sizeof length, length};
}

char* TStringList::Reserve(std::size_t bytes) {
  if (blocks_.empty() || blocks_.back().size - blocks_.back().used < bytes) {
    // A line larger than a block gets a block of its own size.
    std::size_t size = bytes > kBlockSize ? bytes : kBlockSize;
    blocks_.push_back(Block{std::make_unique<char[]>(size), size, 0});
  }
  Block& block = blocks_.back();
  char* at = block.data.get() + block.used;
  block.used += bytes;
  return at;
}

void TStringList::Add(std::string_view line) {
  std::uint32_t length = static_cast<std::uint32_t>(line.size());
  char* at = Reserve(sizeof length + line.size());
  std::memcpy(at, &length, sizeof length);
  if (!line.empty()) std::memcpy(at + sizeof length, line.data(), line.size());
  lines_.push_back(at);
  textBytes_ += line.size();
}

void TStringList::Clear() {
  if (blocks_.size() > 1) blocks_.erase(blocks_.begin() + 1, blocks_.end());
  if (!blocks_.empty()) {
    if (blocks_.front().size != kBlockSize) blocks_.clear();
    else blocks_.front().used = 0;
  }
  std::vector<const char*>().swap(lines_);
  textBytes_ = 0;
}

std::size_t TStringList::MemoryBytes() const {
  std::size_t total = lines_.capacity() * sizeof(const char*) + blocks_.capacity() * sizeof(Block);
  for (const Block& block : blocks_) total += block.size;
  return total;
}

}  // namespace kv
