// The summary printed after all benchmarks of this program have run: one
// line per measured pair with both figures, the ratio and its target.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace kvbench {

// Adds one line to the summary. Main thread only.
void AddSummaryLine(std::string line);
// Prints the summary to standard output. Main thread only.
void PrintSummary();

// Median of a non-empty set of figures.
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace kvbench
