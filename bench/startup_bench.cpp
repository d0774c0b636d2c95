// Start-up benchmark, under Wine: the time from process creation until the installer's
// window is on the screen showing its collapsed view, against a bare program that puts a
// plain window of the same size up, measured in the same run.
//
//   startup_bench BARE_WINDOW_EXE [RUNS]
//
// Runs alternate between the two programs so both meet the same state of Wine and the
// display.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer_driver.h"
#include "median.h"
#include "sysreg_scratch.h"
#include "window_looks.h"

using namespace kelo::test;

namespace {

constexpr DWORD kTimeoutMs = 20000;
constexpr double kTargetMs = 1000;
constexpr double kTargetRatio = 1.5;

struct Times {
  std::vector<double> ms;
  double Median() const { return kelo::bench::Median(ms); }
  double Min() const { return ms.empty() ? 0 : *std::min_element(ms.begin(), ms.end()); }
};

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Until the installer's window shows the collapsed view; negative when it never does.
double TimeInstaller(const Look& collapsed) {
  Installer setup;
  const double start = Now();
  if (!setup.Start(SetupExe()) || !setup.WaitForWindow(kTimeoutMs)) return -1;
  if (AwaitLook(setup.window(), collapsed).differing != 0) return -1;
  const double took = Now() - start;
  setup.Finish();
  return took;
}

// Until the bare window shows its colour everywhere; negative when it never does.
double TimeBareWindow(const std::wstring& exe) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + exe + L"\"";
  const double start = Now();
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  HWND window = nullptr;
  const Image plain = Solid(600, 400, 0xeef1f4);
  const bool painted = PollFor(
      [&] {
        if (!window) window = FindWindowW(nullptr, L"Kelo start-up baseline");
        return window && Compare(CaptureClient(window), plain, RECT{0, 0, 600, 400}, 8).differing == 0;
      },
      kTimeoutMs);
  const double took = Now() - start;
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  WaitForSingleObject(process.hProcess, kTimeoutMs);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return painted ? took : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: startup_bench BARE_WINDOW_EXE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
  const Look collapsed = CollapsedLook();
  Times installer, bare;
  // A first start of each warms Wine's caches (fonts, libraries); it is not counted.
  TimeBareWindow(argv[1]);
  TimeInstaller(collapsed);
  for (int run = 0; run < runs; ++run) {
    const double b = TimeBareWindow(argv[1]);
    const double i = TimeInstaller(collapsed);
    if (b < 0 || i < 0) {
      std::fprintf(stderr, "run %d: a window never showed as expected\n", run);
      return 1;
    }
    bare.ms.push_back(b);
    installer.ms.push_back(i);
  }
  const double installer_median = installer.Median();
  const double bare_median = bare.Median();
  std::printf("%d runs, ms from process creation to a painted window, median (min)\n", runs);
  std::printf("  bare window (baseline)   %7.1f (%7.1f)\n", bare_median, bare.Min());
  std::printf("  KeloSetup.exe            %7.1f (%7.1f)\n", installer_median, installer.Min());
  std::printf("ratio to the baseline      %7.2f         installer's own share %.1f ms\n",
              installer_median / bare_median, installer_median - bare_median);
  std::printf("target: up and painted within %.0f ms: %s\n", kTargetMs,
              installer_median <= kTargetMs ? "met" : "MISSED");
  std::printf("target: at most %.1fx the bare window: %s\n", kTargetRatio,
              installer_median <= kTargetRatio * bare_median ? "met" : "MISSED");
  return 0;
}
