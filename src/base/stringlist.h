// An ordered list of 8-bit text lines: appended at the end, read in order,
// emptied as a whole. Lines are packed into large blocks, so a buffer of
// short lines costs little more than its text (a pointer per line and a
// 4-byte length), and no allocation happens per line.
// Not thread-safe: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace kv {

class TStringList {
 public:
  TStringList() = default;
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;
  TStringList(TStringList&&) noexcept = default;
  TStringList& operator=(TStringList&&) noexcept = default;

  void Add(std::string_view line);
  // Empties the list and gives its memory back (one block is kept).
  void Clear();

  std::size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  std::string_view operator[](std::size_t index) const { return View(lines_[index]); }

  // Sum of the lines' lengths in bytes.
  std::size_t TextBytes() const { return textBytes_; }
  // Bytes of memory the list holds (blocks and index).
  std::size_t MemoryBytes() const;

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return View(*it_); }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    const_iterator operator++(int) {
      auto old = *this;
      ++it_;
      return old;
    }
    bool operator==(const const_iterator& other) const = default;

   private:
    friend class TStringList;
    explicit const_iterator(std::vector<const char*>::const_iterator it) : it_(it) {}
    std::vector<const char*>::const_iterator it_;
  };
  const_iterator begin() const { return const_iterator(lines_.begin()); }
  const_iterator end() const { return const_iterator(lines_.end()); }

 private:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::size_t used = 0;
  };

  static std::string_view View(const char* entry);
  char* Reserve(std::size_t bytes);

  std::vector<Block> blocks_;
  std::vector<const char*> lines_;  // each points at a 4-byte length, then the bytes
  std::size_t textBytes_ = 0;
};

}  // namespace kv
