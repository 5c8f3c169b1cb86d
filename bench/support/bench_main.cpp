// The main of a benchmark program that prints a summary: runs the
// registered benchmarks, then the summary lines they added.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "report.h"

namespace kvbench {
namespace {

std::vector<std::string>& Summary() {
  static std::vector<std::string> lines;
  return lines;
}

}  // namespace

void AddSummaryLine(std::string line) { Summary().push_back(std::move(line)); }

void PrintSummary() {
  if (Summary().empty()) return;
  std::printf("\nSummary (medians of the rounds; both sides of each ratio from the same run)\n");
  for (const std::string& line : Summary()) std::printf("  %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace kvbench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kvbench::PrintSummary();
  return 0;
}
