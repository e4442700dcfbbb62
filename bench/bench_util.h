// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvra_bench {

// The kelvra-render built beside the running benchmark.
inline std::string renderer() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kelvra-render";
}

// The value below which a share `p` (0..1) of `values` lies, nearest rank; 0 for none.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

}  // namespace kelvra_bench
