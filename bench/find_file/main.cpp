// The file finder over a folder of many log files (the log cleanup's load),
// and the code page conversions the program applies to its texts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "findfile/find_file.h"
#include "platform/codepage.h"

namespace {

// A temporary log folder with `count` files spread over ten subfolders,
// last written on successive days; removed at the end.
class LogFolder {
 public:
  explicit LogFolder(int count) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvbench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
    for (int i = 0; i < count; ++i) {
      std::string folder = path_ + "/d" + std::to_string(i % 10);
      std::filesystem::create_directories(folder);
      std::string file = folder + "/kvs" + std::to_string(20240000000000LL + i) + ".log";
      std::ofstream(file) << "line\r\n";
      std::filesystem::last_write_time(
          file, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * (i % 400)));
    }
  }
  ~LogFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void BM_SearchLogFolder(benchmark::State& state) {
  static LogFolder folder(10000);
  kv::TFindFile finder;
  finder.SetSearchDirectory(folder.Path());
  finder.SetRecurse(true);
  finder.SetUseLastWriteDate(state.range(0) != 0);
  finder.SetLastWriteDateTo(kv::Date() - 30);
  std::int64_t found = 0;
  finder.SetOnFindFile([&found](kv::TFindFile&, const std::string&, const kv::TSearchRec&) { ++found; });
  for (auto _ : state) {
    found = 0;
    if (!finder.StartSearch()) state.SkipWithError("search failed");
  }
  state.counters["found"] = static_cast<double>(found);
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_SearchLogFolder)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_WideToShiftJis(benchmark::State& state) {
  std::u16string text;
  while (text.size() < 200) text += u"KVAppService で出力されるログメッセージ ";
  for (auto _ : state) benchmark::DoNotOptimize(win::WideCharToMultiByte(932, text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size() * 2));
}
BENCHMARK(BM_WideToShiftJis);

void BM_ShiftJisToWide(benchmark::State& state) {
  std::u16string wide;
  while (wide.size() < 200) wide += u"KVAppService で出力されるログメッセージ ";
  std::string text = win::WideCharToMultiByte(932, wide);
  for (auto _ : state) benchmark::DoNotOptimize(win::MultiByteToWideChar(932, text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ShiftJisToWide);

}  // namespace

BENCHMARK_MAIN();
