#include "findfile/find_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/file_times.h"
#include "support/temp_dir.h"

namespace {

using kvtest::TempDir;
using kvtest::WriteFile;

struct Found {
  std::string path;
  std::string name;
  bool operator==(const Found&) const = default;
  bool operator<(const Found& o) const { return path != o.path ? path < o.path : name < o.name; }
};

// A finder whose handler records every report.
class Recorder {
 public:
  Recorder() {
    finder.SetOnFindFile([this](kv::TFindFile& sender, const std::string& path, const kv::TSearchRec& rec) {
      EXPECT_EQ(&sender, &finder);
      found.push_back({path, rec.Name});
      recs.push_back(rec);
    });
  }
  std::vector<Found> Sorted() const {
    std::vector<Found> sorted = found;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  kv::TFindFile finder;
  std::vector<Found> found;
  std::vector<kv::TSearchRec> recs;
};

void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }

// Open descriptors of this process (enumerations left open would show).
std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// A chain root/d1/d2/.../dN, one file in each folder; returns the deepest.
std::string Chain(const std::string& root, int depth) {
  std::string path = root;
  WriteFile(path + "/f0", "");
  for (int level = 1; level <= depth; ++level) {
    path += "/d" + std::to_string(level);
    MakeDir(path);
    WriteFile(path + "/f" + std::to_string(level), "");
  }
  return path;
}

TEST(TFindFile, TrailingSeparatorGivesTheSamePaths) {
  TempDir dir;
  WriteFile(dir.Sub("a.log"), "");
  MakeDir(dir.Sub("sub"));
  WriteFile(dir.Sub("sub/b.log"), "");

  Recorder plain;
  plain.finder.SetRecurse(true);
  plain.finder.SetSearchDirectory(dir.Path());
  ASSERT_TRUE(plain.finder.StartSearch());

  Recorder slash;
  slash.finder.SetRecurse(true);
  slash.finder.SetSearchDirectory(dir.Path() + "/");
  ASSERT_TRUE(slash.finder.StartSearch());

  EXPECT_EQ(plain.Sorted(), slash.Sorted());
  EXPECT_EQ(plain.Sorted(), (std::vector<Found>{{dir.Path(), "a.log"}, {dir.Sub("sub"), "b.log"}}));
}

TEST(TFindFile, WithoutRecurseOnlyTheStartFolderIsSearched) {
  TempDir dir;
  WriteFile(dir.Sub("a"), "");
  Chain(dir.Sub("deep"), 15);  // deeper than the limit: never entered
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetMaxNestLevel(0);
  EXPECT_TRUE(r.finder.StartSearch());
  EXPECT_EQ(r.found, (std::vector<Found>{{dir.Path(), "a"}}));
}

TEST(TFindFile, NestLevelZeroStopsAtTheFirstSubfolder) {
  TempDir dir;
  for (const char* name : {"a", "b", "c", "d"}) WriteFile(dir.Sub(name), "");
  MakeDir(dir.Sub("sub"));
  WriteFile(dir.Sub("sub/inner"), "");
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetRecurse(true);
  r.finder.SetMaxNestLevel(0);
  EXPECT_FALSE(r.finder.StartSearch());
  EXPECT_EQ(r.finder.NestLevel(), 0);
  EXPECT_LT(r.found.size(), 5u);
  for (const Found& f : r.found) EXPECT_EQ(f.path, dir.Path());
}

TEST(TFindFile, NegativeNestLimitEndsEverySearchAtOnce) {
  TempDir dir;
  WriteFile(dir.Sub("a"), "");
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetMaxNestLevel(-1);
  EXPECT_FALSE(r.finder.StartSearch());
  EXPECT_TRUE(r.found.empty());
  EXPECT_EQ(r.finder.NestLevel(), 0);
}

TEST(TFindFile, TenLevelsBelowTheStartAreSearchedWithTheDefaults) {
  TempDir dir;
  Chain(dir.Path(), 10);
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetRecurse(true);
  EXPECT_TRUE(r.finder.StartSearch());
  EXPECT_EQ(r.found.size(), 11u);
  EXPECT_EQ(r.finder.NestLevel(), 0);
}

TEST(TFindFile, AnEleventhLevelEvenEmptyEndsTheSearch) {
  TempDir dir;
  std::string deepest = Chain(dir.Path(), 10);
  MakeDir(deepest + "/d11");
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetRecurse(true);
  const std::size_t descriptors = OpenDescriptors();
  EXPECT_FALSE(r.finder.StartSearch());
  EXPECT_EQ(r.finder.NestLevel(), 0);
  // Every enumeration the search opened on its eleven levels is closed.
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(TFindFile, SubfolderFilesAreReportedTogetherDepthFirst) {
  TempDir dir;
  for (const char* name : {"a", "b", "c"}) WriteFile(dir.Sub(name), "");
  for (const char* sub : {"x", "y"}) {
    MakeDir(dir.Sub(sub));
    for (const char* name : {"1", "2", "3"}) WriteFile(dir.Sub(std::string(sub) + "/" + name), "");
    MakeDir(dir.Sub(std::string(sub) + "/inner"));
    WriteFile(dir.Sub(std::string(sub) + "/inner/4"), "");
  }
  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetRecurse(true);
  ASSERT_TRUE(r.finder.StartSearch());
  ASSERT_EQ(r.found.size(), 11u);
  // The reports of each subtree form one unbroken run.
  for (const char* sub : {"x", "y"}) {
    const std::string prefix = dir.Sub(sub);
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < r.found.size(); ++i) {
      if (r.found[i].path.rfind(prefix, 0) == 0) at.push_back(i);
    }
    ASSERT_EQ(at.size(), 4u);
    EXPECT_EQ(at.back() - at.front(), 3u) << sub;
  }
}

TEST(TFindFile, WholeDayFilterIgnoresTheTimeOfDay) {
  TempDir dir;
  WriteFile(dir.Sub("last-minute"), "");
  WriteFile(dir.Sub("next-day"), "");
  WriteFile(dir.Sub("first-day"), "");
  WriteFile(dir.Sub("before"), "");
  kvtest::SetLocalLastWrite(dir.Sub("last-minute"), 2024, 3, 10, 23, 59, 0);
  kvtest::SetLocalLastWrite(dir.Sub("next-day"), 2024, 3, 11, 0, 0, 0);
  kvtest::SetLocalLastWrite(dir.Sub("first-day"), 2024, 3, 1, 0, 0, 0);
  kvtest::SetLocalLastWrite(dir.Sub("before"), 2024, 2, 29, 23, 59, 58);

  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  r.finder.SetUseLastWriteDate(true);
  r.finder.SetLastWriteDateTo(kv::EncodeDate(2024, 3, 10) + 0.25);
  ASSERT_TRUE(r.finder.StartSearch());
  EXPECT_EQ(r.Sorted(),
            (std::vector<Found>{{dir.Path(), "before"}, {dir.Path(), "first-day"}, {dir.Path(), "last-minute"}}));

  Recorder from;
  from.finder.SetSearchDirectory(dir.Path());
  from.finder.SetUseLastWriteDate(true);
  from.finder.SetLastWriteDateFrom(kv::EncodeDate(2024, 3, 1) + 0.99);
  from.finder.SetLastWriteDateTo(kv::EncodeDate(2024, 3, 10));
  ASSERT_TRUE(from.finder.StartSearch());
  EXPECT_EQ(from.Sorted(), (std::vector<Found>{{dir.Path(), "first-day"}, {dir.Path(), "last-minute"}}));
}

TEST(TFindFile, RecordCarriesNameSizeAttributesAndDosTime) {
  TempDir dir;
  WriteFile(dir.Sub("data.log"), "123456789");
  WriteFile(dir.Sub(".hidden"), "");
  WriteFile(dir.Sub("locked"), "");
  ASSERT_EQ(chmod(dir.Sub("locked").c_str(), 0444), 0);
  kvtest::SetLocalLastWrite(dir.Sub("data.log"), 2020, 5, 17, 8, 30, 42);

  Recorder r;
  r.finder.SetSearchDirectory(dir.Path());
  ASSERT_TRUE(r.finder.StartSearch());
  std::map<std::string, kv::TSearchRec> byName;
  for (const kv::TSearchRec& rec : r.recs) byName[rec.Name] = rec;
  ASSERT_EQ(byName.size(), 3u);

  const kv::TSearchRec& data = byName["data.log"];
  EXPECT_EQ(data.Size, 9u);
  EXPECT_EQ(data.FindData.cFileName, "data.log");
  const std::uint32_t time = static_cast<std::uint32_t>(data.Time);
  EXPECT_EQ(time >> 16, ((2020u - 1980u) << 9) | (5u << 5) | 17u);
  EXPECT_EQ(time & 0xFFFF, (8u << 11) | (30u << 5) | 21u);

  EXPECT_NE(byName[".hidden"].Attr & win::FILE_ATTRIBUTE_HIDDEN, 0);
  EXPECT_NE(byName["locked"].Attr & win::FILE_ATTRIBUTE_READONLY, 0);
}

// Files dated outside what a DOS date-time holds end a filtered search:
// what came before stays reported, nothing after it is.
TEST(TFindFile, FileOutsideTheDosRangeEndsTheSearch) {
  for (int year : {1970, 2110}) {
    TempDir dir;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
      WriteFile(dir.Sub(name), "");
      kvtest::SetLocalLastWrite(dir.Sub(name), 2024, 1, 2, 3, 4, 5);
    }
    kvtest::SetLocalLastWrite(dir.Sub("c"), year, 6, 1, 12, 0, 0);

    // The enumeration order of an unchanged folder, learnt without filter.
    Recorder order;
    order.finder.SetSearchDirectory(dir.Path());
    ASSERT_TRUE(order.finder.StartSearch());
    std::vector<Found> expected;
    for (const Found& f : order.found) {
      if (f.name == "c") break;
      expected.push_back(f);
    }

    Recorder r;
    r.finder.SetSearchDirectory(dir.Path());
    r.finder.SetUseLastWriteDate(true);
    r.finder.SetLastWriteDateTo(kv::EncodeDate(2100, 1, 1));
    EXPECT_FALSE(r.finder.StartSearch()) << year;
    EXPECT_EQ(r.found, expected) << year;
    EXPECT_EQ(r.finder.NestLevel(), 0);
  }
}

TEST(TFindFile, EmptyAndMissingFolders) {
  TempDir dir;
  Recorder empty;
  empty.finder.SetSearchDirectory(dir.Path());
  empty.finder.SetRecurse(true);
  EXPECT_TRUE(empty.finder.StartSearch());
  EXPECT_TRUE(empty.found.empty());

  Recorder missing;
  missing.finder.SetSearchDirectory(dir.Sub("missing"));
  missing.finder.SetRecurse(true);
  EXPECT_TRUE(missing.finder.StartSearch());
  EXPECT_TRUE(missing.found.empty());

  Recorder nothing;
  EXPECT_FALSE(nothing.finder.StartSearch());
  EXPECT_TRUE(nothing.found.empty());
}

TEST(TFindFile, NoHandlerStillSearches) {
  TempDir dir;
  Chain(dir.Path(), 3);
  kv::TFindFile finder;
  finder.SetSearchDirectory(dir.Path());
  finder.SetRecurse(true);
  EXPECT_TRUE(finder.StartSearch());
}

TEST(TFindFile, HandlerFailureEndsTheSearchAndClosesEverything) {
  TempDir dir;
  std::string deepest = Chain(dir.Path(), 5);
  for (const char* name : {"x", "y", "z"}) WriteFile(deepest + "/" + name, "");
  kv::TFindFile finder;
  int calls = 0;
  finder.SetOnFindFile([&](kv::TFindFile&, const std::string& path, const kv::TSearchRec&) {
    ++calls;
    if (path == deepest) throw std::runtime_error("handler failed");
  });
  finder.SetSearchDirectory(dir.Path());
  finder.SetRecurse(true);
  const std::size_t descriptors = OpenDescriptors();
  EXPECT_FALSE(finder.StartSearch());
  EXPECT_EQ(finder.NestLevel(), 0);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  // Levels 0..4 report one file each at most before the deepest folder; the
  // deepest folder's first report is the last.
  EXPECT_GE(calls, 1);
  EXPECT_LE(calls, 6);

  // The finder is ready for the next search.
  finder.SetOnFindFile(nullptr);
  EXPECT_TRUE(finder.StartSearch());
}

TEST(TFindFile, HandlerMayReplaceItselfAndCannotNestSearches) {
  TempDir dir;
  for (const char* name : {"a", "b", "c"}) WriteFile(dir.Sub(name), "");
  kv::TFindFile finder;
  int calls = 0;
  bool nested = true;
  finder.SetSearchDirectory(dir.Path());
  finder.SetOnFindFile([&](kv::TFindFile& sender, const std::string&, const kv::TSearchRec&) {
    ++calls;
    nested = sender.StartSearch();
    sender.SetOnFindFile(nullptr);  // destroys the handler that is running
  });
  EXPECT_TRUE(finder.StartSearch());
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(nested);
}

}  // namespace
