#pragma once
// The middle of a benchmark's runs: the mean of the two middle ones for an even count.
#include <algorithm>
#include <vector>

namespace kelo::bench {

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t middle = v.size() / 2;
  return v.size() % 2 ? v[middle] : (v[middle - 1] + v[middle]) / 2;
}

}  // namespace kelo::bench
