// Extraction benchmark: how much the installer's extraction (decode the packet, check the
// archive, write every file) costs on top of the bare LZMA decode, against `7zz x` of the
// same files in a solid LZMA .7z, and how much memory it needs at its peak.
//
//   extract_bench PACKET SOLID_7Z WORK_DIR [RUNS]
//
// The bare decode and the extraction each run in a fresh child process (this program
// re-executed), so both start cold and each peak resident size is the child's own. The
// writer follows the installer's: every path checked before the first file is written, one
// truncating open and one write per file.
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

#include "setup/archive_extract.h"
#include "setup/packet.h"

using namespace kelo;

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

bool MakeDirs(const char* dir) {
  char path[kPathBytes];
  std::snprintf(path, sizeof(path), "%s", dir);
  for (char* p = path + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return false;
    *p = '/';
  }
  return mkdir(path, 0755) == 0 || errno == EEXIST;
}

class PosixSink : public ArchiveSink {
 public:
  explicit PosixSink(std::string dest) : dest_(std::move(dest)) {
    if (dest_.empty() || dest_.back() != '/') dest_ += '/';
  }
  bool Accept(const ArchiveRecord& record) override { return dest_.size() + record.name_size < kPathBytes; }
  bool Write(const ArchiveRecord& record) override {
    char path[kPathBytes];
    std::memcpy(path, dest_.data(), dest_.size());
    char* name = path + dest_.size();
    std::memcpy(name, record.name, record.name_size);
    name[record.name_size] = '\0';
    char* last_separator = nullptr;
    for (char* p = name; *p; ++p)
      if (*p == '\\') *(last_separator = p) = '/';
    if (last_separator) {
      *last_separator = '\0';
      if (known_dir_ != path) {
        struct stat st;
        if (stat(path, &st) != 0) MakeDirs(path);
        known_dir_ = path;
      }
      *last_separator = '/';
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const ssize_t written = record.data_size ? write(fd, record.data, record.data_size) : 0;
    const bool ok = written == static_cast<ssize_t>(record.data_size);
    return (close(fd) == 0) && ok;
  }

 private:
  std::string dest_;
  std::string known_dir_;
};

// Peak resident size of this process so far, in kB, as the kernel keeps it.
long PeakRssKb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof(line), status))
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  std::fclose(status);
  return kb;
}

// A child's whole job, timed by itself: "ms peak_kb" on stdout. With `dest` it is the
// installer's extraction (map, decode, check, write); without, the bare decode into memory.
int RunOnce(const char* packet_path, const char* dest) {
  const double start = NowMs();
  DecodedArchive archive;
  {
    MappedFile packet(packet_path);
    if (!packet.data) return 2;
    if (!dest) {
      PacketHeader header;
      if (ParsePacketHeader(packet.data, packet.size, &header) != PacketError::kNone) return 3;
      std::unique_ptr<uint8_t[]> out(new uint8_t[header.unpacked_size]);
      if (DecodePacketStream(header, out.get()) != PacketError::kNone) return 3;
      std::printf("%.3f %ld\n", NowMs() - start, PeakRssKb());
      return 0;
    }
    if (DecodePacket(packet.data, packet.size, &archive) != PacketError::kNone) return 3;
  }
  if (!MakeDirs(dest)) return 4;
  PosixSink sink(dest);
  if (!ExtractArchive(archive.data.get(), archive.size, &sink)) return 5;
  std::printf("%.3f %ld\n", NowMs() - start, PeakRssKb());
  return 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
void RemoveTree(const std::string& dir) { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Other work on a shared machine only ever adds time: the least is the cleanest figure.
double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--decode-once") == 0) return RunOnce(argv[2], nullptr);
  if (argc == 4 && std::strcmp(argv[1], "--extract-once") == 0) return RunOnce(argv[2], argv[3]);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PACKET SOLID_7Z WORK_DIR [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string packet_path = argv[1];
  const std::string solid_7z = argv[2];
  const std::string work = argv[3];
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 7;
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
  // process start-up, and CPU time, which other load on the machine disturbs least.
  struct Series {
    std::vector<double> own, wall, cpu;
    void Add(const ChildResult& r) {
      own.push_back(r.own_ms);
      wall.push_back(r.wall_ms);
      cpu.push_back(r.cpu_ms);
    }
  } bare, ours, sevenzip;
  long peak_kb = 0, bare_peak_kb = 0;
  // Each run writes into a folder of its own, as an install into a new directory does; the
  // folders go only at the end, so no run pays for the file system's clean-up of another.
  RemoveTree(work);
  // Interleaved, so that a burst of other work on the machine hits all three alike.
  for (int run = 0; run < runs; ++run) {
    const ChildResult decode = RunChild({self, "--decode-once", packet_path}, false);
    if (!decode.ok) {
      std::fprintf(stderr, "decoding failed\n");
      return 1;
    }
    bare.Add(decode);
    bare_peak_kb = std::max(bare_peak_kb, decode.peak_rss_kb);

    const std::string ours_dir = work + "/ours" + std::to_string(run);
    const ChildResult extraction = RunChild({self, "--extract-once", packet_path, ours_dir}, false);
    if (!extraction.ok) {
      std::fprintf(stderr, "extraction failed\n");
      return 1;
    }
    ours.Add(extraction);
    peak_kb = std::max(peak_kb, extraction.peak_rss_kb);

    const std::string sevenzip_dir = work + "/7zz" + std::to_string(run);
    const ChildResult reference = RunChild({"/usr/bin/7zz", "x", "-y", "-bd", "-o" + sevenzip_dir, solid_7z}, true);
    if (!reference.ok) {
      std::fprintf(stderr, "7zz x failed\n");
      return 1;
    }
    sevenzip.Add(reference);
  }

  RemoveTree(work);

  const double decoded_mb = header.unpacked_size / 1e6;
  const double peak_mb = peak_kb * 1024 / 1e6;
  std::printf("payload: %zu files, %.2f MB decoded, packet %.2f MB (ratio %.2f)\n", files, decoded_mb,
              packet.size / 1e6, header.unpacked_size / static_cast<double>(packet.size));
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
  row("our extraction (decode+write)", ours, true);
  row("7zz x of a solid LZMA .7z", sevenzip, false);
  std::printf("ratios, median (min)\n");
  std::printf("  extraction / bare decode      %.3f (%.3f) in-process, %.3f (%.3f) cpu   target <= 1.15\n",
              Median(ours.own) / Median(bare.own), Min(ours.own) / Min(bare.own), Median(ours.cpu) / Median(bare.cpu),
              Min(ours.cpu) / Min(bare.cpu));
  std::printf("  extraction / 7zz x            %.3f (%.3f) wall, %.3f (%.3f) cpu         target <= 1.00\n",
              Median(ours.wall) / Median(sevenzip.wall), Min(ours.wall) / Min(sevenzip.wall),
              Median(ours.cpu) / Median(sevenzip.cpu), Min(ours.cpu) / Min(sevenzip.cpu));
  std::printf("  peak memory of the extraction %.1f MB = %.3fx decoded size (bare decode %.1f MB)   target <= 1.50\n",
              peak_mb, peak_mb / decoded_mb, bare_peak_kb * 1024 / 1e6);
  return 0;
}
