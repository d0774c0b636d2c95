// The install transaction under Wine, on Win32 files: a fresh install and a re-install of a
// packet against the bare LZMA decode of it, each the median of RUNS, in one process.
//
//   install_bench_win PACKET WORK_DIR [RUNS]      (Windows paths)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "setup/install_fs_win.h"
#include "setup/install_transaction.h"
#include "setup/packet.h"
#include "win_timing.h"

using kelo::bench::Median;
using kelo::bench::NowMs;

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: install_bench_win PACKET WORK_DIR [RUNS]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 7;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::vector<uint8_t> packet(GetFileSize(file, nullptr));
  DWORD got = 0;
  ReadFile(file, packet.data(), static_cast<DWORD>(packet.size()), &got, nullptr);
  CloseHandle(file);
  kelo::PacketHeader header;
  if (kelo::ParsePacketHeader(packet.data(), packet.size(), &header) != kelo::PacketError::kNone) return 1;
  const std::wstring work = argv[2];
  CreateDirectoryW(work.c_str(), nullptr);

  std::vector<double> bare, fresh, again;
  for (int run = 0; run < runs; ++run) {
    // Touched before the clock starts: the install first touches only its far smaller ring,
    // and first touching a payload's worth of pages would flatter it.
    std::unique_ptr<uint8_t[]> out(new uint8_t[header.unpacked_size]);
    memset(out.get(), 0, header.unpacked_size);
    double start = NowMs();
    if (kelo::DecodePacketStream(header, out.get()) != kelo::PacketError::kNone) return 3;
    bare.push_back(NowMs() - start);
    out.reset();

    const std::wstring dir = work + L"\\run" + std::to_wstring(run);
    CreateDirectoryW(dir.c_str(), nullptr);
    kelo::Win32InstallFs fs(dir);
    for (std::vector<double>* series : {&fresh, &again}) {
      start = NowMs();
      if (!kelo::InstallPacket(&fs, packet.data(), packet.size(), kelo::InstallRules()).ok()) return 4;
      series->push_back(NowMs() - start);
    }
  }
  std::printf("under Wine, %d runs, median ms: bare decode %.1f, install %.1f (%.3fx), re-install %.1f (%.3fx)\n",
              runs, Median(bare), Median(fresh), Median(fresh) / Median(bare), Median(again),
              Median(again) / Median(bare));
  return 0;
}
