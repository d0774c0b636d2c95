#pragma once
// Timing for the benchmarks that run under Wine.
#include <windows.h>

#include "median.h"

namespace kelo::bench {

inline double NowMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return now.QuadPart * 1000.0 / frequency.QuadPart;
}

}  // namespace kelo::bench
