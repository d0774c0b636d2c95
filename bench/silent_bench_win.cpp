// The silent install against an NSIS installer of the same payload folder, under Wine: each
// installer run with /S into a new folder of its own, timed from process creation to its
// exit, the runs alternating so both meet the same state of Wine and the disk.
//
//   silent_bench_win OURS.exe NSIS.exe WORK_DIR [RUNS]      (Windows paths)
//
// Ours does the whole install (files, uninstall entry, shortcuts, identity, browser start);
// the NSIS one only extracts. The browser ours starts is ended after each run.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "win_timing.h"

using kelo::bench::Median;
using kelo::bench::NowMs;

namespace {

constexpr DWORD kTimeoutMs = 120000;
constexpr double kTargetRatio = 0.5;

// Milliseconds from creation to exit; negative when it failed to start, ran too long or
// exited with an error.
double TimeRun(const std::wstring& exe, const std::wstring& dir) {
  std::wstring command = L"\"" + exe + L"\" /S /D=" + dir;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const double start = NowMs();
  if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  const DWORD waited = WaitForSingleObject(process.hProcess, kTimeoutMs);
  const double took = NowMs() - start;
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return waited == WAIT_OBJECT_0 && code == 0 ? took : -1;
}

void EndProcessesNamed(const wchar_t* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, name) != 0) continue;
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID)) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, kTimeoutMs);
      CloseHandle(process);
    }
  }
  CloseHandle(snapshot);
}

double FileMb(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) / 1e6;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: silent_bench_win OURS.exe NSIS.exe WORK_DIR [RUNS]\n");
    return 2;
  }
  const std::wstring ours = argv[1], nsis = argv[2], work = argv[3];
  const int runs = argc > 4 ? std::max(1, _wtoi(argv[4])) : 7;
  CreateDirectoryW(work.c_str(), nullptr);
  std::vector<double> ours_ms, nsis_ms;
  // A first run of each warms Wine's caches; it is not counted.
  for (int run = -1; run < runs; ++run) {
    const std::wstring n = std::to_wstring(run + 1);
    const double o = TimeRun(ours, work + L"\\ours" + n);
    EndProcessesNamed(L"KeloBrowser.exe");
    const double s = TimeRun(nsis, work + L"\\nsis" + n);
    if (o < 0 || s < 0) {
      std::fprintf(stderr, "run %d: %s failed\n", run + 1, o < 0 ? "ours" : "NSIS");
      return 1;
    }
    if (run < 0) continue;
    ours_ms.push_back(o);
    nsis_ms.push_back(s);
  }
  const double ratio = Median(ours_ms) / Median(nsis_ms);
  std::printf("silent install under Wine, %d runs, ms from process creation to exit, median (min)\n", runs);
  std::printf("  KeloSetup.exe /S   %7.1f (%7.1f)   %.2f MB\n", Median(ours_ms),
              *std::min_element(ours_ms.begin(), ours_ms.end()), FileMb(ours));
  std::printf("  NSIS /S            %7.1f (%7.1f)   %.2f MB\n", Median(nsis_ms),
              *std::min_element(nsis_ms.begin(), nsis_ms.end()), FileMb(nsis));
  std::printf("ratio ours / NSIS    %7.2f   target <= %.2f: %s\n", ratio, kTargetRatio,
              ratio <= kTargetRatio ? "met" : "MISSED");
  return 0;
}
