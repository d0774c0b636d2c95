// Extraction benchmark: what the installer's install transaction (decode into staging while
// a second thread writes, check, commit, ledger) costs against the bare LZMA decode, for a
// fresh install, a re-install of the same payload (a repair: unchanged files stay), and an
// update over an installation of another payload, against `7zz x` of the same files in a
// solid LZMA .7z, and how much memory it needs at its peak.
//
//   extract_bench PACKET SOLID_7Z WORK_DIR [RUNS [EARLIER_PACKET]]
//
// Every contender runs in a fresh child process (this program re-executed), so each starts
// cold and its memory is its own; the files a re-install or update reads back are dropped
// from the system's memory first. WORK_DIR gets a folder of the run's own, removed at the
// end. The install runs the very code the installer runs, on
// POSIX files, flushing each file to the disk as the installer does.
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <atomic>
#include <thread>

#include "median.h"
#include "setup/install_fs_posix.h"
#include "setup/install_transaction.h"
#include "setup/packet.h"

using namespace kelo;
using kelo::bench::Median;

namespace {

constexpr size_t kPathBytes = 260;

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// The packet read through a read-only mapping, as the installer reads it.
struct MappedFile {
  explicit MappedFile(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      size = static_cast<size_t>(st.st_size);
      void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      data = p == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(p);
    }
    close(fd);
  }
  ~MappedFile() {
    if (data) munmap(const_cast<uint8_t*>(data), size);
  }
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The most private memory (resident pages that belong to no file: the mapped packet is not
// counted, as the installer's lies in its own image) the process holds, sampled every
// millisecond while `work` runs.
template <typename Work>
long PeakPrivateKb(Work&& work) {
  std::atomic<bool> done{false};
  std::atomic<long> peak{0};
  const long page_kb = sysconf(_SC_PAGESIZE) / 1024;
  std::thread sampler([&] {
    while (!done) {
      FILE* statm = std::fopen("/proc/self/statm", "r");
      long size = 0, resident = 0, shared = 0;
      if (statm && std::fscanf(statm, "%ld %ld %ld", &size, &resident, &shared) == 3)
        peak = std::max(peak.load(), (resident - shared) * page_kb);
      if (statm) std::fclose(statm);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  work();
  done = true;
  sampler.join();
  return peak;
}

// KELO_BENCH_NO_FLUSH=1 leaves the install's flushes out, to see what they cost; the
// output says so, for such figures are no install's.
bool FlushesLeftOut() {
  const char* value = getenv("KELO_BENCH_NO_FLUSH");
  return value && std::strcmp(value, "1") == 0;
}

// A child's whole job, timed by itself: "ms peak_private_kb" on stdout. With `dest` it is
// an install into `dest` (over whatever is there); without, the bare decode into memory.
int RunOnce(const char* packet_path, const char* dest) {
  MappedFile packet(packet_path);
  if (!packet.data) return 2;
  int status = 0;
  double ms = 0;
  const long peak_kb = PeakPrivateKb([&] {
    if (!dest) {
      PacketHeader header;
      if (ParsePacketHeader(packet.data, packet.size, &header) != PacketError::kNone) return void(status = 3);
      // Touched before the clock starts: the install decodes into a far smaller ring, and
      // first touching a payload's worth of pages would flatter it.
      std::unique_ptr<uint8_t[]> out(new uint8_t[header.unpacked_size]);
      memset(out.get(), 0, header.unpacked_size);
      const double start = NowMs();
      if (DecodePacketStream(header, out.get()) != PacketError::kNone) status = 3;
      ms = NowMs() - start;
    } else {
      const double start = NowMs();
      mkdir(dest, 0755);
      PosixInstallFs fs(dest, !FlushesLeftOut());
      if (!InstallPacket(&fs, packet.data, packet.size, InstallRules()).ok()) status = 5;
      ms = NowMs() - start;
    }
  });
  std::printf("%.3f %ld\n", ms, peak_kb);
  return status;
}

// Flushes one file or folder to the disk; false when it could not be.
bool Flush(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

int FlushFile(const char* path, const struct stat*, int kind, struct FTW*) {
  return kind != FTW_F || Flush(path) ? 0 : -1;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
void RemoveTree(const std::string& dir) { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Drops a folder's files from the system's memory (they are on the disk after a sync), so
// that a re-install reads them as one days later would, not as just written.
int DropEntry(const char* path, const struct stat*, int kind, struct FTW*) {
  if (kind != FTW_F) return 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
  return 0;
}
void DropFromMemory(const std::string& dir) {
  sync();
  nftw(dir.c_str(), DropEntry, 16, FTW_PHYS);
}

struct ChildResult {
  bool ok = false;
  double wall_ms = 0;
  double cpu_ms = 0;     // user and system time of the whole child
  double own_ms = 0;     // as the child measured itself, when it does
  long peak_rss_kb = 0;  // likewise
};

ChildResult RunChild(const std::vector<std::string>& args, bool quiet) {
  ChildResult result;
  // Earlier runs' files still on their way to the disk would slow this run's writes.
  sync();
  int out[2];
  if (pipe(out) != 0) return result;
  const double start = NowMs();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    if (quiet) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
  close(out[0]);
  int status = 0;
  struct rusage usage = {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return result;
  result.wall_ms = NowMs() - start;
  result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::sscanf(text.c_str(), "%lf %ld", &result.own_ms, &result.peak_rss_kb);
  return result;
}

// Other work on a shared machine only ever adds time: the least is the cleanest figure.
double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--decode-once") == 0) return RunOnce(argv[2], nullptr);
  if (argc == 4 && std::strcmp(argv[1], "--extract-once") == 0) return RunOnce(argv[2], argv[3]);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PACKET SOLID_7Z WORK_DIR [RUNS [EARLIER_PACKET]]\n", argv[0]);
    return 2;
  }
  const std::string packet_path = argv[1];
  const std::string solid_7z = argv[2];
  // A folder of its own inside the one given, which is all that goes again.
  std::string work_template = std::string(argv[3]) + "/extract_bench.XXXXXX";
  if (!mkdtemp(&work_template[0])) {
    std::fprintf(stderr, "cannot make a folder in %s\n", argv[3]);
    return 1;
  }
  const std::string work = work_template;
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
  const std::string earlier_path = argc > 5 ? argv[5] : "";
  const std::string self = "/proc/self/exe";

  MappedFile packet(packet_path.c_str());
  PacketHeader header;
  if (!packet.data || ParsePacketHeader(packet.data, packet.size, &header) != PacketError::kNone) {
    std::fprintf(stderr, "cannot read packet %s\n", packet_path.c_str());
    return 1;
  }
  size_t files = 0;
  {
    DecodedArchive archive;
    if (DecodePacket(packet.data, packet.size, &archive) != PacketError::kNone) {
      std::fprintf(stderr, "packet %s does not decode\n", packet_path.c_str());
      return 1;
    }
    ForEachRecord(archive.data.get(), archive.size, [&](const ArchiveRecord&) { return ++files, true; });
  }

  // Each contender's runs: time as measured inside the child (none for 7zz), wall time with
  // process start-up, and CPU time, which other load on the machine disturbs least; and the
  // most private memory any of them held.
  struct Series {
    std::vector<double> own, wall, cpu;
    long peak_kb = 0;
    void Add(const ChildResult& r) {
      own.push_back(r.own_ms);
      wall.push_back(r.wall_ms);
      cpu.push_back(r.cpu_ms);
      peak_kb = std::max(peak_kb, r.peak_rss_kb);
    }
  } bare, ours, again, update, sevenzip;
  // 7zz x leaves its files to be written whenever the system likes, where the install
  // flushes each before its commit: a sync right after makes them as durable, all at once
  // (RunChild's sync before it leaves only what the machine wrote meanwhile besides); each
  // file and the folder flushed one by one is the install's own way, without its overlap
  // of the flushes with the decode.
  std::vector<double> sevenzip_synced, sevenzip_flushed;
  // One child run of ours, counted in `series`; false (said) when it failed.
  const auto measure = [&](Series* series, const std::vector<std::string>& args, const char* what) {
    const ChildResult result = RunChild(args, false);
    if (!result.ok) std::fprintf(stderr, "%s failed\n", what);
    else if (series) series->Add(result);
    return result.ok;
  };
  // Each run writes into a folder of its own, as an install into a new directory does; the
  // folders go only at the end, so no run pays for the file system's clean-up of another.
  // Interleaved, so that a burst of other work on the machine hits all alike.
  for (int run = 0; run < runs; ++run) {
    const std::string ours_dir = work + "/ours" + std::to_string(run);
    const std::string update_dir = work + "/update" + std::to_string(run);
    if (!measure(&bare, {self, "--decode-once", packet_path}, "decoding") ||
        !measure(&ours, {self, "--extract-once", packet_path, ours_dir}, "extraction"))
      return 1;
    // Over the installation just made, read from the disk: every file compared in place and
    // left there.
    DropFromMemory(ours_dir);
    if (!measure(&again, {self, "--extract-once", packet_path, ours_dir}, "re-install")) return 1;
    // The earlier version, untimed, then this one over it.
    if (!earlier_path.empty()) {
      if (!measure(nullptr, {self, "--extract-once", earlier_path, update_dir}, "earlier")) return 1;
      DropFromMemory(update_dir);
      if (!measure(&update, {self, "--extract-once", packet_path, update_dir}, "update")) return 1;
    }

    for (const bool one_by_one : {false, true}) {
      const std::string sevenzip_dir = work + (one_by_one ? "/7zz-flushed" : "/7zz") + std::to_string(run);
      const ChildResult reference =
          RunChild({"/usr/bin/7zz", "x", "-y", "-bd", "-o" + sevenzip_dir, solid_7z}, true);
      if (!reference.ok) {
        std::fprintf(stderr, "7zz x failed\n");
        return 1;
      }
      const double flush_start = NowMs();
      if (!one_by_one) {
        sevenzip.Add(reference);
        sync();
      } else if (nftw(sevenzip_dir.c_str(), FlushFile, 16, FTW_PHYS) != 0 || !Flush(sevenzip_dir.c_str())) {
        std::fprintf(stderr, "flushing 7zz's files failed\n");
        return 1;
      }
      (one_by_one ? sevenzip_flushed : sevenzip_synced).push_back(reference.wall_ms + NowMs() - flush_start);
    }
  }

  RemoveTree(work);

  const double decoded_mb = header.unpacked_size / 1e6;
  std::printf("payload: %zu files, %.2f MB decoded, packet %.2f MB (ratio %.2f)\n", files, decoded_mb,
              packet.size / 1e6, header.unpacked_size / static_cast<double>(packet.size));
  std::printf("build: %s%s%s\n", KELO_BENCH_BUILD_TYPE,
              KELO_BENCH_SANITIZED ? ", sanitized: not the installer's speed" : "",
              FlushesLeftOut() ? "; the install's flushes left out (KELO_BENCH_NO_FLUSH=1)" : "");
  std::printf("%d runs, ms as median (min)   in-process        wall with start-up   cpu\n", runs);
  const auto row = [](const char* what, const Series& s, bool own) {
    std::printf("  %-30s", what);
    if (own)
      std::printf("%7.1f (%6.1f)", Median(s.own), Min(s.own));
    else
      std::printf("%16s", "-");
    std::printf("   %7.1f (%6.1f)   %7.1f (%6.1f)\n", Median(s.wall), Min(s.wall), Median(s.cpu), Min(s.cpu));
  };
  row("bare LZMA decode into memory", bare, true);
  row("install into a new folder", ours, true);
  row("re-install over it", again, true);
  if (!update.own.empty()) row("update over another version", update, true);
  row("7zz x of a solid LZMA .7z", sevenzip, false);
  std::printf("  %-30s%16s   %7.1f (%6.1f)\n", "7zz x, then sync", "-", Median(sevenzip_synced), Min(sevenzip_synced));
  std::printf("  %-30s%16s   %7.1f (%6.1f)\n", "7zz x, then each file flushed", "-", Median(sevenzip_flushed),
              Min(sevenzip_flushed));
  const double dictionary_mb = std::min<double>(ReadLe32(header.props + 1), header.unpacked_size) / 1e6;
  std::printf("ratios, median (min)\n");
  const auto against_decode = [&](const char* what, const Series& s) {
    std::printf("  %-29s %.3f (%.3f) in-process, %.3f (%.3f) cpu   target <= 1.00\n", what,
                Median(s.own) / Median(bare.own), Min(s.own) / Min(bare.own), Median(s.cpu) / Median(bare.cpu),
                Min(s.cpu) / Min(bare.cpu));
  };
  against_decode("install / bare decode", ours);
  against_decode("re-install / bare decode", again);
  if (!update.own.empty()) against_decode("update / bare decode", update);
  std::printf("  install / 7zz x, then sync    %.3f (%.3f) wall                        target <= 1.00\n",
              Median(ours.wall) / Median(sevenzip_synced), Min(ours.wall) / Min(sevenzip_synced));
  std::printf("  install / 7zz x, each flushed %.3f (%.3f) wall\n", Median(ours.wall) / Median(sevenzip_flushed),
              Min(ours.wall) / Min(sevenzip_flushed));
  std::printf("  install / 7zz x               %.3f (%.3f) wall, %.3f (%.3f) cpu\n",
              Median(ours.wall) / Median(sevenzip.wall), Min(ours.wall) / Min(sevenzip.wall),
              Median(ours.cpu) / Median(sevenzip.cpu), Min(ours.cpu) / Min(sevenzip.cpu));
  std::printf("  peak private memory: install %.1f MB, re-install %.1f MB", ours.peak_kb * 1024 / 1e6,
              again.peak_kb * 1024 / 1e6);
  if (!update.own.empty()) std::printf(", update %.1f MB", update.peak_kb * 1024 / 1e6);
  std::printf(", bare decode %.1f MB; dictionary + 16 MB = %.1f MB\n", bare.peak_kb * 1024 / 1e6,
              dictionary_mb + 16.78);
  return 0;
}
