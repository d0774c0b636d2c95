#pragma once
// Timing for the benchmarks that run under Wine.
#include <windows.h>

#include <algorithm>
#include <vector>

namespace kelo::bench {

inline double NowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return now.QuadPart * 1000.0 / frequency.QuadPart;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace kelo::bench
