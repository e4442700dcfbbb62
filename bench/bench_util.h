// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <vector>

namespace kelvra_bench {

// The value below which a share `p` (0..1) of `values` lies, nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

}  // namespace kelvra_bench
