// The install transaction on a real folder (POSIX natively, Win32 under Wine): what a
// re-install leaves when any one of its file operations fails, or when the process ends at
// any of them, and what the next run then makes of it; the ledger and journal formats; the
// uninstall of exactly what the ledger lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/start_thread.h"
#include "packtool/packet_writer.h"
#include "setup/crc32.h"
#include "setup/install_transaction.h"
#include "setup/ledger.h"
#ifdef _WIN32
#include <windows.h>

#include "setup/install_fs_win.h"
#else
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "setup/install_fs_posix.h"
#endif

namespace kelo {
namespace {

using Files = std::map<std::string, std::string>;  // relative name -> bytes

// A fresh folder of its own for each use, removed at the end.
class Scratch {
 public:
  Scratch() {
    static int count = 0;
#ifdef _WIN32
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"tx-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++count);
    CreateDirectoryW(root.c_str(), nullptr);
    root_.assign(root.begin(), root.end());  // the temporary folder's path is ASCII here
    fs_ = std::make_unique<Win32InstallFs>(root);
#else
    const char* temp = std::getenv("TMPDIR");
    std::string pattern = std::string(temp && *temp ? temp : "/tmp") + "/kelo-tx-XXXXXX";
    if (!mkdtemp(&pattern[0])) std::abort();
    root_ = pattern;
    fs_ = std::make_unique<PosixInstallFs>(root_, /*durable=*/false);
    ++count;
#endif
  }
  ~Scratch() {
#ifdef _WIN32
    RemoveAll("");
#else
    // Names the file-system side cannot spell (a test makes one) go too.
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
#endif
  }
  InstallFs* fs() { return fs_.get(); }
  const std::string& root() const { return root_; }

 private:
#ifdef _WIN32
  void RemoveAll(const std::string& dir) {
    std::vector<InstallFs::Entry> entries;
    fs_->List(dir, &entries);
    for (const auto& entry : entries) {
      const std::string path = dir.empty() ? entry.name : dir + "\\" + entry.name;
      if (entry.kind == InstallFs::Kind::kDirectory) RemoveAll(path);
      else fs_->RemoveFile(path);
    }
    fs_->RemoveDir(dir);
  }
#endif
  std::string root_;
  std::unique_ptr<InstallFs> fs_;
};

// Every file by its path, and every empty folder by its path and a final backslash: one
// left behind counts.
Files Snapshot(InstallFs* fs, const std::string& dir = "") {
  Files files;
  std::vector<InstallFs::Entry> entries;
  fs->List(dir, &entries);
  if (entries.empty() && !dir.empty()) files[dir + "\\"] = "";
  for (const auto& entry : entries) {
    const std::string path = dir.empty() ? entry.name : dir + "\\" + entry.name;
    if (entry.kind == InstallFs::Kind::kDirectory) {
      files.merge(Snapshot(fs, path));
    } else {
      std::string bytes;
      fs->ReadAll(path, &bytes);
      files[path] = bytes;
    }
  }
  return files;
}

// A whole ledger's or journal's `text` with `line` added before its closing line, which
// counts it: whole still.
std::string WithLineAdded(const std::string& text, const std::string& line) {
  const size_t closing = text.rfind("end\t");
  return text.substr(0, closing) + line + "\nend\t" + std::to_string(std::stoi(text.substr(closing + 4)) + 1) + "\n";
}

void Put(InstallFs* fs, const std::string& name, const std::string& bytes) {
  for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1))
    fs->MakeDir(name.substr(0, at));
  auto file = fs->Create(name);
  ASSERT_TRUE(file && file->Write(bytes.data(), bytes.size()) && file->Finish()) << name;
}

// The LZMA dictionary of the test packets, with which the decode ring grows: in the build
// whose ring runs only a few kilobytes ahead, the smallest there is.
#ifdef KELO_DECODE_AHEAD_BYTES
constexpr uint32_t kTestDictionaryBytes = 1u << 12;
#else
constexpr uint32_t kTestDictionaryBytes = 1u << 16;
#endif

std::vector<uint8_t> Pack(const Files& files) {
  std::vector<ArchiveEntry> entries;
  for (const auto& [name, bytes] : files) entries.push_back({name, std::vector<uint8_t>(bytes.begin(), bytes.end())});
  PacketOptions options;
  options.dictionary_size = kTestDictionaryBytes;
  options.level = 1;
  std::vector<uint8_t> packet;
  EXPECT_TRUE(CompressPacket(BuildArchive(entries), options, &packet));
  return packet;
}

// `in_order`: every file operation on the calling thread, for the tests that count them.
InstallOutcome Install(InstallFs* fs, const std::vector<uint8_t>& packet, bool adopt = false, bool in_order = false) {
  InstallRules rules;
  rules.required = {"KeloBrowser.exe"};
  rules.adopt_unlisted = adopt;
  rules.finish_in_background = !in_order;
  return InstallPacket(fs, packet.data(), packet.size(), rules);
}

// The earlier installation, the next one, and the user's own files around them.
const Files kEarlier = {{"KeloBrowser.exe", "browser 1"},
                        {"KeloUninstall.exe", "uninstaller 1"},
                        {"Lib\\core.dll", std::string(70000, 'c')},
                        {"Lib\\gone.dll", "only in the earlier one"},
                        {"Skin\\a.png", "skin a 1"}};
const Files kNext = {{"KeloBrowser.exe", "browser 2, longer than before"},
                     {"KeloUninstall.exe", "uninstaller 1"},
                     {"Lib\\core.dll", std::string(90000, 'C')},
                     {"Skin\\a.png", "skin a 2"},
                     {"Plugins\\new\\p.dat", "a new folder"},
                     // After a file in a folder below its own, as names sort.
                     {"Plugins\\top.dat", "in a folder made for one below it"}};
const char kUsersSkin[] = "the user's own skin, where the payload puts one";
const Files kUsers = {{"My notes.txt", "do not lose"},
                      {"Data\\Profile\\user.ini", "[User]"},
                      {"data2\\cookies", "not data, not ours"},
                      {"Lib\\user-plugin.dll", "the user's, beside ours"}};

// A file of the user's where every payload puts one of its own: installed over it, the
// payload sets it aside, and there it stays.
constexpr char kUsersSkinName[] = "Skin\\a.png";
constexpr char kUsersSkinAside[] = "KeloSetup.kept\\Skin\\a.png";
InstallOutcome InstallOverUsersSkin(InstallFs* fs, const std::vector<uint8_t>& packet) {
  Put(fs, kUsersSkinName, kUsersSkin);
  return Install(fs, packet);
}

// "earlier", "next", or what is wrong: the payload files must be one whole installation,
// with its ledger, and the user's files exactly as they were. `earlier_listed`: what the
// earlier installation's ledger lists, when an updater has changed its files since.
std::string Judge(const Files& disk, const Files& earlier = kEarlier, const Files& next = kNext,
                  const Files* earlier_listed = nullptr) {
  for (const auto& [name, bytes] : kUsers) {
    const auto it = disk.find(name);
    if (it == disk.end() || it->second != bytes) return "user file changed: " + name;
  }
  for (const Files* payload : {&earlier, &next}) {
    bool whole = true;
    for (const auto& [name, bytes] : *payload) whole = whole && disk.count(name) && disk.at(name) == bytes;
    for (const Files* other : {&earlier, &next})
      for (const auto& entry : *other) whole = whole && (payload->count(entry.first) || !disk.count(entry.first));
    Ledger ledger;
    whole = whole && disk.count(kLedgerName) && ParseLedger(disk.at(kLedgerName), &ledger) &&
            ledger.files.size() == payload->size();
    const Files& listing = payload == &earlier && earlier_listed ? *earlier_listed : *payload;
    for (const LedgerFile& file : ledger.files) {
      const auto listed = listing.find(file.name);
      whole = whole && listed != listing.end() && file.size == listed->second.size() &&
              file.crc == Crc32(0, listed->second.data(), listed->second.size());
    }
    if (whole) return payload == &earlier ? "earlier" : "next";
  }
  std::string mix = "neither installation is whole:";
  for (const auto& entry : disk) mix += " " + entry.first;
  return mix;
}

// Our own names gone: nothing staged, no journal, no copies aside (but the user's files an
// install set aside for good).
bool Settled(const Files& disk) {
  for (const auto& entry : disk)
    if (entry.first.compare(0, 10, "KeloSetup.") == 0 && entry.first != kLedgerName &&
        entry.first.compare(0, 15, "KeloSetup.kept\\") != 0)
      return false;
  return true;
}

// Passes every call on to a real folder, but the n-th operation that changes or reads the
// disk fails (kFail) or, as if the process ended there, it and every one after it do
// nothing at all (kStop). Apart from that, the flush of one named file may fail, whichever
// thread it runs on, and so may the opening of one.
class FaultyFs : public InstallFs {
 public:
  enum Mode { kFail, kStop };
  FaultyFs(InstallFs* real, Mode mode, int at) : real_(real), mode_(mode), at_(at) {}

  Kind Probe(const std::string& path) override {
    // A copy set aside under a number behind its name is looked at in the same place.
    if (!failing_probe_.empty() && (path == failing_probe_ || path.rfind(failing_probe_ + ".", 0) == 0)) {
      fired_ = true;
      return Kind::kUnknown;
    }
    // A look changes nothing: ending the process there is ending it at the next operation,
    // so only a failing look is a point of its own.
    if (stopped_) return Kind::kMissing;
    if (mode_ == kFail && !Go()) return Kind::kUnknown;
    return real_->Probe(path);
  }
  bool MakeDir(const std::string& p) override { return Go() && real_->MakeDir(p); }
  bool RemoveDir(const std::string& p) override { return Go() && real_->RemoveDir(p); }
  bool RemoveFile(const std::string& p) override {
    if (failing_removes_.count(p)) {
      fired_ = true;
      ++refused_removes_;
      return false;
    }
    return Go() && real_->RemoveFile(p);
  }
  bool Move(const std::string& a, const std::string& b) override {
    if (first_move_ == 0) {
      first_move_ = count_ + 1;
      if (!unreadable_once_moving_.empty()) failing_open_ = unreadable_once_moving_;
    }
    return Go() && real_->Move(a, b);
  }
  bool Replace(const std::string& a, const std::string& b) override {
    replace_at_ = count_ + 1;
    if (b == failing_after_replace_) {
      fired_ = true;
      real_->Replace(a, b);
      if (unreadable_after_replace_) failing_open_ = b;
      return false;
    }
    return Go() && real_->Replace(a, b);
  }
  std::unique_ptr<FileWriter> Create(const std::string& p) override {
    created_.push_back(p);
    {
      // As on Windows, a file still open for writing takes no second writer.
      std::lock_guard<std::mutex> lock(open_mutex_);
      created_since_hold_ = true;
      create_seen_.notify_all();
      if (open_.count(Lower(p))) {
        fired_ = true;
        return nullptr;
      }
    }
    if (!Go()) return nullptr;
    auto file = real_->Create(p);
    if (!file) return nullptr;
    std::lock_guard<std::mutex> lock(open_mutex_);
    open_.insert(Lower(p));
    return std::make_unique<Writer>(this, std::move(file), p);
  }
  std::unique_ptr<FileReader> Open(const std::string& p) override {
    if (!Go()) return nullptr;
    if (p == failing_open_) {
      fired_ = true;
      return nullptr;
    }
    // Another program writes to the file in a moment when no reader of ours holds it (on
    // Windows ours share it for reading only), once one has.
    if (p == changing_ && readers_of_changing_ == 0 && changing_was_read_) {
      auto writer = real_->Create(p);
      if (!writer || !writer->Write(changed_bytes_.data(), changed_bytes_.size()) || !writer->Finish()) return nullptr;
      changing_ = "\n";
    }
    auto file = real_->Open(p);
    return file ? std::make_unique<Reader>(this, std::move(file), p == changing_) : nullptr;
  }
  bool List(const std::string& p, std::vector<Entry>* e) override {
    if (p == failing_list_) {
      fired_ = true;
      return false;
    }
    if (!Go() || !real_->List(p, e)) return false;
    // What Windows lists for a name the code page cannot spell: an entry without one.
    if (p == unspelt_in_) e->push_back({"", Kind::kLink, false});
    return true;
  }
  bool FreeBytes(uint64_t* bytes) override { return real_->FreeBytes(bytes); }
  uint32_t LastError() const override { return fired_ ? 5 : real_->LastError(); }

  void FailFinishOf(const std::string& path) { failing_finish_ = path; }
  // The first finish of `path` waits for the next Create (200 ms at most): a writer that
  // does not wait for it meets the file still open.
  void HoldFinishOf(const std::string& path) { held_finish_ = path; }
  void FailOpenOf(const std::string& path) { failing_open_ = path; }
  // Another program rewrites `path` with `bytes` at the first opening of it that meets no
  // reader of ours holding it, after one has read it.
  void ChangeWhenUnheld(const std::string& path, const std::string& bytes) {
    changing_ = path;
    changed_bytes_ = bytes;
  }
  // From the first move on, `path` cannot be opened (a scanner takes it as a commit begins).
  void FailOpenOfOnceMoving(const std::string& path) { unreadable_once_moving_ = path; }
  // The numbers of the first move's operation and of the last replace's; 0 before one came.
  int first_move() const { return first_move_; }
  int replace_at() const { return replace_at_; }
  void FailRemoveOf(const std::string& path) { failing_removes_.insert(path); }
  int refused_removes() const { return refused_removes_; }
  void FailListOf(const std::string& path) { failing_list_ = path; }
  // Looks at `path`, or at a name set aside for it with a number behind, fail.
  void FailProbeOf(const std::string& path) { failing_probe_ = path; }
  // The replace of `path` takes effect and then fails, as when the flush after it fails;
  // `unreadable`: the file then cannot be opened.
  void FailAfterReplaceOf(const std::string& path, bool unreadable) {
    failing_after_replace_ = path;
    unreadable_after_replace_ = unreadable;
  }
  void ListUnspeltIn(const std::string& dir) { unspelt_in_ = dir; }
  bool fired() const { return fired_; }
  // Whether the process "ended" (kStop reached its operation).
  bool stopped() const { return stopped_; }
  // Whether the operation to fail or end at came.
  bool struck() const { return count_ >= at_; }
  const std::vector<std::string>& created() const { return created_; }
  size_t largest_read() const { return largest_read_; }

 private:
  class Writer : public FileWriter {
   public:
    Writer(FaultyFs* fs, std::unique_ptr<FileWriter> real, const std::string& path)
        : fs_(fs), real_(std::move(real)), path_(path) {}
    ~Writer() override {
      real_.reset();
      std::lock_guard<std::mutex> lock(fs_->open_mutex_);
      fs_->open_.erase(Lower(path_));
    }
    bool Write(const void* d, size_t n) override { return fs_->Go() && real_->Write(d, n); }
    bool Finish() override {
      std::unique_lock<std::mutex> lock(fs_->open_mutex_);
      if (path_ == fs_->held_finish_) {
        fs_->held_finish_.clear();
        fs_->created_since_hold_ = false;
        fs_->create_seen_.wait_for(lock, std::chrono::milliseconds(200), [&] { return fs_->created_since_hold_; });
      }
      lock.unlock();
      return path_ != fs_->failing_finish_ && fs_->Go() && real_->Finish();
    }

   private:
    FaultyFs* fs_;
    std::unique_ptr<FileWriter> real_;
    std::string path_;
  };
  class Reader : public FileReader {
   public:
    Reader(FaultyFs* fs, std::unique_ptr<FileReader> real, bool of_changing)
        : fs_(fs), real_(std::move(real)), of_changing_(of_changing) {
      if (of_changing_) {
        ++fs_->readers_of_changing_;
        fs_->changing_was_read_ = true;
      }
    }
    ~Reader() override {
      if (of_changing_) --fs_->readers_of_changing_;
    }
    bool Read(void* d, size_t n, size_t* got) override {
      for (size_t seen = fs_->largest_read_; seen < n && !fs_->largest_read_.compare_exchange_weak(seen, n);) {
      }
      return fs_->Go() && real_->Read(d, n, got);
    }

   private:
    FaultyFs* fs_;
    std::unique_ptr<FileReader> real_;
    bool of_changing_;
  };

  bool Go() {
    if (stopped_) return false;
    if (++count_ != at_) return true;
    fired_ = true;
    if (mode_ == kStop) stopped_ = true;
    return false;
  }

  InstallFs* real_;
  Mode mode_;
  int at_;
  std::atomic<int> count_{0};
  std::atomic<bool> fired_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<size_t> largest_read_{0};
  std::string failing_finish_;
  std::string held_finish_;
  std::mutex open_mutex_;
  std::condition_variable create_seen_;
  bool created_since_hold_ = false;
  std::set<std::string> open_;  // lower-case names of files open for writing
  std::string failing_open_;
  std::string changing_ = "\n";  // no name
  std::string changed_bytes_;
  int readers_of_changing_ = 0;
  bool changing_was_read_ = false;
  std::set<std::string> failing_removes_;
  int refused_removes_ = 0;
  std::string failing_list_ = "\n";  // no name
  std::string failing_probe_ = "\n";
  std::string failing_after_replace_ = "\n";
  std::string unreadable_once_moving_;
  int first_move_ = 0;
  int replace_at_ = 0;
  bool unreadable_after_replace_ = false;
  std::string unspelt_in_ = "\n";
  std::vector<std::string> created_;
};

// An uninstall failing or ended (the process killed) at any point: one that reports success
// left no file of ours, one that fails keeps its ledger for another try, and the user's
// file an install had set aside (it had a payload file's name) is back at its name once
// the next run has recovered and, where the ledger is still there, has uninstalled again.
TEST(InstallTransaction, AnUninstallFailingOrEndedAnywhereRemovesAllOrKeepsItsLedger) {
  int points[2] = {0, 0};
  int stranded = 0;  // ends that left the ledger with the uninstaller set aside
  for (FaultyFs::Mode mode : {FaultyFs::kFail, FaultyFs::kStop}) {
    for (int at = 1;; ++at) {
      Scratch scratch;
      InstallFs* fs = scratch.fs();
      ASSERT_TRUE(InstallOverUsersSkin(fs, Pack(kEarlier)).ok());
      ASSERT_EQ(Snapshot(fs)[kUsersSkinAside], kUsersSkin);
      FaultyFs faulty(fs, mode, at);
      faulty.FailRemoveOf("KeloUninstall.exe");  // the running uninstaller's own
      const bool removed = UninstallFiles(&faulty, /*keep_data=*/false).ok();
      if (!faulty.struck()) break;
      ++points[mode];
      const std::string where = (mode == FaultyFs::kFail ? "failing operation " : "ending at operation ") +
                                std::to_string(at);
      if (mode == FaultyFs::kFail) {
        const Files disk = Snapshot(fs);
        if (removed) {
          for (const auto& [name, bytes] : kEarlier)
            EXPECT_FALSE(disk.count(name) && disk.at(name) == bytes) << where << ": " << name << " stays";
        } else {
          EXPECT_EQ(disk.count(kLedgerName), 1u) << where << ": a failed uninstall took its ledger";
        }
      } else if (fs->Probe(kLedgerName) == InstallFs::Kind::kFile &&
                 fs->Probe("KeloUninstall.exe") != InstallFs::Kind::kFile) {
        ++stranded;
      }
      ASSERT_TRUE(RecoverInstall(fs).ok()) << where;
      if (fs->Probe(kLedgerName) != InstallFs::Kind::kMissing) {
        ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok()) << where;
      }
      EXPECT_EQ(Snapshot(fs)[kUsersSkinName], kUsersSkin) << where;
      // Installed again into what could be the product's own folder, the user's file is no
      // older setup program's, even beside an older main program: it goes aside again.
      Put(fs, "KeloBrowser.exe", "an older setup's");
      ASSERT_TRUE(Install(fs, Pack(kEarlier), /*adopt=*/true).ok()) << where;
      EXPECT_EQ(Snapshot(fs)[kUsersSkinAside], kUsersSkin) << where;
    }
  }
  std::printf("uninstall: fault points tried: %d failing, %d ending the process\n", points[0], points[1]);
  EXPECT_GT(points[0], 10);
  EXPECT_GT(points[1], 10);
  // Only an end at the ledger's own removal, right after the files in use went aside, leaves
  // an installation whose uninstaller is not there to be run again.
  EXPECT_LE(stranded, 1);
}

// An update that replaced the uninstaller, ended anywhere in its commit, then uninstalled
// by whichever uninstaller is in place: its own file cannot be removed while it runs,
// wherever the recovery has put it. The uninstall succeeds, and the finishing copy (a plain
// recovery once it has ended) leaves nothing.
TEST(InstallTransaction, AnUpdateCutShortUninstallsAtTheFirstTry) {
  Files next = kNext;
  next["KeloUninstall.exe"] = "uninstaller 2";
  int points = 0;
  for (int at = 1;; ++at) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    FaultyFs ended(fs, FaultyFs::kStop, at);
    (void)Install(&ended, Pack(next), /*adopt=*/false, /*in_order=*/true);
    if (!ended.stopped()) break;
    if (fs->Probe(kJournalName) != InstallFs::Kind::kFile) continue;
    ++points;
    FaultyFs running(fs, FaultyFs::kFail, 0);
    for (const char* place : {"KeloUninstall.exe", "KeloSetup.new\\KeloUninstall.exe"}) running.FailRemoveOf(place);
    EXPECT_TRUE(UninstallFiles(&running, /*keep_data=*/false).ok()) << "ended at operation " << at;
    ASSERT_TRUE(RecoverInstall(fs).ok()) << "ended at operation " << at;
    TidyLeftFolder(fs);
    EXPECT_EQ(Snapshot(fs), Files()) << "ended at operation " << at;
  }
  EXPECT_GT(points, 3);
}

// A file of the ledger that cannot be looked at (its path grown too long, say) would stay
// whatever else went: the uninstall removes nothing, rather than leave a browser half
// removed that no run could finish removing.
TEST(InstallTransaction, AnUninstallMeetingAFileItCannotLookAtRemovesNothing) {
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  const Files before = Snapshot(fs);
  for (const auto& [name, bytes] : kEarlier) {
    FaultyFs odd(fs, FaultyFs::kFail, /*at=*/-1);
    odd.FailProbeOf(name);
    EXPECT_FALSE(UninstallFiles(&odd, /*keep_data=*/false).ok()) << name;
    EXPECT_EQ(Snapshot(fs), before) << name;
  }
}

// A name the system cannot spell, among the user's files set aside, is passed over: the
// uninstall and the next install still put the user's file back, and end.
TEST(InstallTransaction, ANameListedWithoutItsSpellingAmongTheSetAsideIsPassedOver) {
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(InstallOverUsersSkin(fs, Pack(kEarlier)).ok());
  FaultyFs odd(fs, FaultyFs::kFail, /*at=*/-1);
  odd.ListUnspeltIn("KeloSetup.kept");
  EXPECT_TRUE(UninstallFiles(&odd, /*keep_data=*/false).ok());
  EXPECT_EQ(Snapshot(fs)[kUsersSkinName], kUsersSkin);
  ASSERT_TRUE(InstallOverUsersSkin(fs, Pack(kEarlier)).ok());
  EXPECT_TRUE(RecoverInstall(&odd).ok());
  EXPECT_TRUE(Install(&odd, Pack(kNext)).ok());
}

// Recovery putting the user's set-aside files back in a folder with no ledger marks the
// folder first: failing at any of its operations, it leaves no mark or a whole one, and a
// file back at its name only beside a whole one.
TEST(InstallTransaction, RecoveryMarksTheFolderWholeBeforeItPutsTheUsersFilesBack) {
  int points = 0;
  for (int at = 1;; ++at) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    Put(fs, kUsersSkinAside, kUsersSkin);
    FaultyFs faulty(fs, FaultyFs::kFail, at);
    (void)RecoverInstall(&faulty);
    if (!faulty.struck()) break;
    ++points;
    const Files disk = Snapshot(fs);
    const auto at_home = disk.find(kUsersSkinName);
    const auto aside = disk.find(kUsersSkinAside);
    const auto mark = disk.find(kDataMarker);
    EXPECT_TRUE(mark == disk.end() || mark->second == "left by an uninstall") << "failing operation " << at;
    EXPECT_TRUE(at_home == disk.end() || mark != disk.end()) << "failing operation " << at << ": back unmarked";
    EXPECT_TRUE((at_home != disk.end() && at_home->second == kUsersSkin) ||
                (aside != disk.end() && aside->second == kUsersSkin))
        << "failing operation " << at;
  }
  EXPECT_GT(points, 3);
}

TEST(InstallTransaction, EveryFaultOfAReinstallLeavesOneWholeInstallation) {
  // An update, and a repair: the same payload again over an installation whose program an
  // updater has changed since, so that the new ledger reads as the one on the disk.
  Files patched = kNext;
  patched["KeloBrowser.exe"] = "browser 2, patched by updater";
  // An update where a file of ours becomes a folder.
  Files plugins_file = kEarlier;
  plugins_file["Plugins"] = "a file, a folder in the next version";
  // And the other way: a folder of ours (with a folder in it) becomes a file.
  Files plugins_gone = kEarlier;
  plugins_gone["Plugins"] = "a file now, where kNext had a folder";
  const struct {
    const char* name;
    Files installed;  // by the earlier install
    Files earlier;    // on the disk when the re-install begins
    Files next;
  } cases[] = {{"update", kEarlier, kEarlier, kNext},
               {"repair", kNext, patched, kNext},
               {"file to folder", plugins_file, plugins_file, kNext},
               {"folder to file", kNext, kNext, plugins_gone}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> installed = Pack(c.installed);
    const std::vector<uint8_t> next = Pack(c.next);
    int points[2] = {0, 0};
    for (FaultyFs::Mode mode : {FaultyFs::kFail, FaultyFs::kStop}) {
      for (int at = 1;; ++at) {
        Scratch scratch;
        InstallFs* fs = scratch.fs();
        // The user's file set aside by the first install stays whole through every fault.
        ASSERT_TRUE(InstallOverUsersSkin(fs, installed).ok());
        const auto kept_whole = [&] { return Snapshot(fs)[kUsersSkinAside] == kUsersSkin; };
        for (const auto& [name, bytes] : c.earlier) Put(fs, name, bytes);
        for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
        FaultyFs faulty(fs, mode, at);
        const InstallOutcome outcome = Install(&faulty, next, false, /*in_order=*/true);
        if (!faulty.fired()) {
          ASSERT_TRUE(outcome.ok()) << c.name;
          EXPECT_EQ(Judge(Snapshot(fs), c.earlier, c.next, &c.installed), "next") << c.name;
          EXPECT_TRUE(kept_whole()) << c.name;
          break;
        }
        ++points[mode];
        const std::string where = std::string(c.name) + (mode == FaultyFs::kFail ? ", failing operation " : ", ending at operation ") +
                                  std::to_string(at);
        // What the browser or the user puts, before the next run, into a folder the update
        // was bringing where the earlier installation had nothing stays, whichever way that
        // run settles it.
        const auto top = [](const std::string& name) { return name.substr(0, name.find('\\')); };
        Files newcomers;
        for (const auto& entry : c.next)
          for (size_t slash = entry.first.find('\\'); slash != std::string::npos; slash = entry.first.find('\\', slash + 1)) {
            const std::string folder = entry.first.substr(0, slash);
            const bool earlier_has = std::any_of(c.earlier.begin(), c.earlier.end(),
                                                 [&](const auto& old) { return top(old.first) == top(folder); });
            if (!earlier_has && fs->Probe(folder) == InstallFs::Kind::kDirectory) newcomers[folder + "\\mine.txt"] = "mine";
          }
        for (const auto& [name, bytes] : newcomers) Put(fs, name, bytes);
        const auto newcomers_stay = [&] {
          if (newcomers.empty()) return true;
          const Files disk = Snapshot(fs);
          return std::all_of(newcomers.begin(), newcomers.end(),
                             [&](const auto& file) { return disk.count(file.first) && disk.at(file.first) == file.second; });
        };
        if (mode == FaultyFs::kFail) {
          // Settled in the same run: the earlier installation back, or (a fault after the
          // ledger went in) the new one.
          const std::string state = Judge(Snapshot(fs), c.earlier, c.next, &c.installed);
          EXPECT_TRUE(state == "earlier" || state == "next") << where << ": " << state;
          if (state == "earlier") {
            EXPECT_FALSE(outcome.ok()) << where << ": a failure reported as success";
          }
          EXPECT_TRUE(kept_whole()) << where;
        }
        // The next run settles whatever was left, then installs.
        ASSERT_TRUE(RecoverInstall(fs).ok()) << where;
        const Files recovered = Snapshot(fs);
        const std::string state = Judge(recovered, c.earlier, c.next, &c.installed);
        EXPECT_TRUE(state == "earlier" || state == "next") << where << ": " << state;
        EXPECT_TRUE(Settled(recovered)) << where;
        EXPECT_TRUE(kept_whole()) << where;
        EXPECT_TRUE(newcomers_stay()) << where;
        ASSERT_TRUE(Install(fs, next).ok()) << where;
        EXPECT_EQ(Judge(Snapshot(fs), c.earlier, c.next, &c.installed), "next") << where;
        EXPECT_TRUE(kept_whole()) << where;
        EXPECT_TRUE(newcomers_stay()) << where;
      }
    }
    std::printf("%s: fault points tried: %d failing, %d ending the process\n", c.name, points[0], points[1]);
    EXPECT_GT(points[0], 20) << c.name;
    EXPECT_GT(points[1], 20) << c.name;
  }
}

// A folder of ours that holds a file of the user's is no folder to set aside for a file of
// the payload: the update fails, and everything stays as it was.
TEST(InstallTransaction, AFolderHoldingAUsersFileIsNeverTakenForAFile) {
  Files plugins_gone = kEarlier;
  plugins_gone["Plugins"] = "a file now";
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kNext)).ok());
  for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
  Put(fs, "Plugins\\new\\mine.txt", "the user's");
  const Files before = Snapshot(fs);
  const InstallOutcome outcome = Install(fs, Pack(plugins_gone));
  EXPECT_EQ(outcome.reason, InstallOutcome::kConflict);
  EXPECT_EQ(outcome.where, "Plugins") << "the log would not say where";
  EXPECT_EQ(Snapshot(fs), before);
}

// A re-install compares the files its ledger lists with the payload and leaves those that
// match where they are; any difference, wherever it lies, has the file written anew.
TEST(InstallTransaction, ReinstallWritesOnlyFilesThatDifferFromThePayload) {
  Files payload = kNext;
  std::string big(600000, '\0');  // longer than a decoded piece: compared in several
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
  payload["Lib\\big.dat"] = big;
  const std::vector<uint8_t> packet = Pack(payload);
  const struct {
    const char* what;
    std::string bytes;  // what the user's copy of Lib\big.dat holds before the re-install
  } cases[] = {
      {"unchanged", big},
      {"first byte", "x" + big.substr(1)},
      {"last byte", big.substr(0, big.size() - 1) + "x"},
      {"in a later piece", big.substr(0, 400000) + "x" + big.substr(400001)},
      {"longer", big + "x"},
      {"shorter", big.substr(0, big.size() - 1)},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, packet).ok()) << c.what;
    Put(fs, "Lib\\big.dat", c.bytes);
    FaultyFs counting(fs, FaultyFs::kFail, 0);
    // The running browser writes to it whenever it can: the bytes found equal are copied
    // into the staged file as they were compared, not as the browser left them.
    counting.ChangeWhenUnheld("Lib\\big.dat", std::string(big.size() + 1, 'b'));
    ASSERT_TRUE(Install(&counting, packet, false, /*in_order=*/true).ok()) << c.what;
    Files disk = Snapshot(fs);
    disk.erase(kLedgerName);
    EXPECT_TRUE(disk == payload) << c.what;
    std::vector<std::string> written;
    for (const std::string& name : counting.created())
      if (name.compare(0, sizeof kStagingDir - 1, kStagingDir) == 0) written.push_back(name);
    const std::vector<std::string> expected =
        c.bytes == big ? std::vector<std::string>{} : std::vector<std::string>{"KeloSetup.new\\Lib\\big.dat"};
    EXPECT_EQ(written, expected) << c.what;
    // The live file is read a buffer at a time, however large the decoded piece.
    EXPECT_LE(counting.largest_read(), size_t{1} << 16) << c.what;
    // With nothing to mend, not even a journal or a ledger is written.
    if (c.bytes == big) {
      EXPECT_EQ(counting.created(), std::vector<std::string>{}) << c.what;
    }
  }
}

// The progress is told while the files are written, never goes back, and ends at the
// whole, once all is staged.
TEST(InstallTransaction, ProgressRisesToTheWhole) {
  std::vector<std::pair<uint64_t, uint64_t>> told;
  InstallRules rules;
  rules.progress = [&told](uint64_t done, uint64_t total) { told.push_back({done, total}); };
  Scratch scratch;
  const std::vector<uint8_t> packet = Pack(kNext);
  ASSERT_TRUE(InstallPacket(scratch.fs(), packet.data(), packet.size(), rules).ok());
  ASSERT_FALSE(told.empty());
  EXPECT_TRUE(std::any_of(told.begin(), told.end(), [](const auto& t) { return t.first > 0 && t.first < t.second; }))
      << "nothing told before the end";
  for (size_t i = 1; i < told.size(); ++i) {
    EXPECT_EQ(told[i].second, told[0].second);
    EXPECT_GE(told[i].first, told[i - 1].first);
  }
  EXPECT_EQ(told.back().first, told.back().second);
}

// A release that renames a file only in the case of a letter beyond ASCII (Ä.dll to ä.dll)
// renames nothing on Windows: the new file takes the earlier one's place, listed under its
// new name, and nothing is taken for the user's. (Elsewhere the two are two files.)
TEST(InstallTransaction, ARenameInTheCaseOfALetterBeyondAsciiKeepsTheNewFile) {
  std::string upper = "\xC3\x84.dll", lower = "\xC3\xA4.dll";  // in UTF-8
#ifdef _WIN32
  const auto spelled = [](const wchar_t* name, std::string* bytes) {
    char buffer[16];
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, name, -1, buffer,
                                         sizeof buffer, nullptr, GetACP() == CP_UTF8 ? nullptr : &lossy);
    bytes->assign(buffer, size > 0 ? size - 1 : 0);
    return size > 0 && !lossy;
  };
  if (!spelled(L"\u00C4.dll", &upper) || !spelled(L"\u00E4.dll", &lower))
    GTEST_SKIP() << "the code page has no Ä and ä";
#endif
  Files earlier = kEarlier, next = kNext;
  earlier[upper] = "the earlier version";
  next[lower] = "the next version";
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(earlier)).ok());
  ASSERT_TRUE(Install(fs, Pack(next)).ok());
  std::string bytes;
  EXPECT_TRUE(fs->ReadAll(lower, &bytes));
  EXPECT_EQ(bytes, "the next version");
  for (const auto& entry : Snapshot(fs))
    EXPECT_TRUE(entry.first.rfind("KeloSetup.", 0) != 0 || entry.first == kLedgerName)
        << entry.first << ": a file of ours taken for the user's, or one left aside";
  Ledger ledger;
  ASSERT_TRUE(ReadLedger(fs, &ledger).ok());
  EXPECT_EQ(std::count_if(ledger.files.begin(), ledger.files.end(),
                          [&](const LedgerFile& file) { return file.name == lower || file.name == upper; }),
            1);
}

// A later record of a name writes the file again, the earlier copy finished (and on Windows
// closed) first: a fresh install, and a re-install where the first record is the file there.
TEST(InstallTransaction, ALaterRecordOfTheSameNameWins) {
  const std::string first(300000, 'f');
  std::vector<ArchiveEntry> entries = {{"KeloBrowser.exe", {'b'}},
                                       {"Lib\\twice.dll", std::vector<uint8_t>(first.begin(), first.end())},
                                       {"Lib\\twice.dll", {'2', 'n', 'd'}}};
  PacketOptions options;
  options.dictionary_size = kTestDictionaryBytes;
  std::vector<uint8_t> packet;
  ASSERT_TRUE(CompressPacket(BuildArchive(entries), options, &packet));
  for (const bool reinstall : {false, true}) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    if (reinstall) {
      ASSERT_TRUE(Install(fs, Pack({{"KeloBrowser.exe", "b"}, {"Lib\\twice.dll", first}})).ok());
    }
    FaultyFs slow_to_close(fs, FaultyFs::kFail, 0);
    slow_to_close.HoldFinishOf(std::string(kStagingDir) + "\\Lib\\twice.dll");
    const InstallOutcome outcome = Install(&slow_to_close, packet);
    EXPECT_TRUE(outcome.ok()) << "reinstall " << reinstall << ": reason " << outcome.reason << ", error "
                              << outcome.system_error << ", " << PacketErrorText(outcome.packet_error);
    Files disk = Snapshot(fs);
    disk.erase(kLedgerName);
    EXPECT_EQ(disk, (Files{{"KeloBrowser.exe", "b"}, {"Lib\\twice.dll", "2nd"}})) << "reinstall " << reinstall;
    Ledger ledger;
    ASSERT_TRUE(ReadLedger(fs, &ledger).ok());
    EXPECT_EQ(ledger.files.size(), 2u);
  }
}

// Staged files are flushed on a thread of their own: a flush that fails, whichever file it
// is, fails the install before any live file is touched.
TEST(InstallTransaction, AFlushFailingInTheBackgroundLeavesTheEarlierInstallation) {
  const std::vector<uint8_t> next = Pack(kNext);
  for (const auto& [name, bytes] : kNext) {
    if (kEarlier.count(name) && kEarlier.at(name) == bytes) continue;  // unchanged: not written
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [user_name, user_bytes] : kUsers) Put(fs, user_name, user_bytes);
    FaultyFs faulty(fs, FaultyFs::kFail, 0);
    faulty.FailFinishOf(std::string(kStagingDir) + "\\" + name);
    EXPECT_EQ(Install(&faulty, next).reason, InstallOutcome::kFileSystem) << name;
    const Files disk = Snapshot(fs);
    EXPECT_EQ(Judge(disk), "earlier") << name;
    EXPECT_TRUE(Settled(disk)) << name;
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
size_t AddressSpaceInUse() {
  unsigned long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm || std::fscanf(statm, "%lu", &pages) != 1) std::abort();
  std::fclose(statm);
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Whether a child may be given less address space and then more again: not where the
// hard limit is set already (`ulimit -v`), which only a privileged process may raise.
bool AddressSpaceUncapped() {
  rlimit limit;
  return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_max == RLIM_INFINITY;
}

// Room for `more` bytes of address space than the process uses now. The sanitizers reserve
// address space as they go, so they have no tests that use it.
void LeaveRoom(size_t more) {
  const rlimit bound = {AddressSpaceInUse() + more, RLIM_INFINITY};
  if (setrlimit(RLIMIT_AS, &bound) != 0) std::abort();
}

// Address space for `threads` more threads' stacks and half a stack besides, which the
// install's own allocations fit in. Stacks of threads that ended wait for the next ones
// without counting as new: threads that never end take them first.
void LeaveRoomForThreads(size_t threads) {
  pthread_attr_t attr;
  size_t stack = 0;
  if (pthread_getattr_default_np(&attr) != 0 || pthread_attr_getstacksize(&attr, &stack) != 0) std::abort();
  pthread_attr_destroy(&attr);
  LeaveRoom(stack / 2);
  for (;;) {
    std::thread holder;
    if (!StartThread(&holder, [] {
          for (;;) pause();
        }))
      break;
    holder.detach();
  }
  LeaveRoom(threads * stack + stack / 2);
}

// A thread the system cannot give (no memory or address space left) never ends the
// program. Without one for the walker, the install fails as out of memory and leaves the
// earlier installation. With the walker's only, the staged files are flushed as written
// and the decoder touches the ring's pages itself; with one more, either of those has it.
TEST(InstallTransactionDeathTest, ThreadsTheSystemCannotGiveFailOrSlowTheInstallButNeverEndIt) {
  if (!AddressSpaceUncapped()) GTEST_SKIP() << "the address space is capped already";
  struct Case {
    size_t threads;
    InstallOutcome::Reason reason;
    const char* left;
  };
  const std::vector<uint8_t> next = Pack(kNext);
  for (const Case& c : {Case{0, InstallOutcome::kBadPacket, "earlier"}, Case{1, InstallOutcome::kDone, "next"},
                        Case{2, InstallOutcome::kDone, "next"}}) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    EXPECT_EXIT(
        {
          alarm(120);  // an install waiting for a thread that never came fails too, in time
          LeaveRoomForThreads(c.threads);
          const InstallOutcome outcome = Install(fs, next);
          _exit(outcome.reason == InstallOutcome::kBadPacket && outcome.packet_error != PacketError::kOutOfMemory
                    ? 101
                    : outcome.reason);
        },
        testing::ExitedWithCode(c.reason), "")
        << c.threads << " threads";
    const Files disk = Snapshot(fs);
    EXPECT_EQ(Judge(disk), c.left) << c.threads << " threads";
    EXPECT_TRUE(Settled(disk)) << c.threads << " threads";
  }
}
#endif

TEST(InstallTransaction, FilesWithoutALedgerAreAdoptedOnlyWhereAllowed) {
  const struct {
    bool adopt;            // the product's own default folder
    bool older_program;    // an older setup program's main program is there
  } cases[] = {{false, true}, {true, true}, {true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "adopt " << c.adopt << ", older program " << c.older_program);
    const bool adopted = c.adopt && c.older_program;
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    Files older = {{"Old\\stale.dll", "stale"}, {"old.tmp", "aside"}, {"data.pak", "a file, no copy of Data"},
                   {"Database\\index.dat", "no copy of Data either"}};
    if (c.older_program) older["KeloBrowser.exe"] = "from an older setup";
    for (const auto& [name, bytes] : older) Put(fs, name, bytes);
    Put(fs, "DATA\\profile.ini", "profile");
    // Another installation inside this folder (the user picked it to install into), Data an
    // uninstall of one kept, Data deeper down and copies of it: never the older setup program's.
    const Files inner = {{"KeloBrowser\\KeloBrowser.exe", "a nested installation"},
                         {"KeloBrowser\\KeloSetup.ledger", "its record"},
                         {"KeloBrowser\\Data\\profile.db", "its profile"},
                         {"Kept\\KeloSetup.data", ""},
                         {"Kept\\Data\\profile.db", "a kept profile"},
                         {"Old\\data\\profile.db", "a profile deeper down"},
                         {"Data - Copy\\profile.db", "the user's backup"},
                         {"Data.bak\\profile.db", "another backup"}};
    for (const auto& [name, bytes] : inner) Put(fs, name, bytes);
#ifndef _WIN32
    // A name no packet could carry would be read back wrongly: left alone.
    Put(fs, "odd.", "trailing dot");
#endif
    ASSERT_TRUE(Install(fs, Pack(kEarlier), c.adopt).ok());
    Files expected = kEarlier;
    expected[kLedgerName] = Snapshot(fs)[kLedgerName];
    expected["DATA\\profile.ini"] = "profile";
    expected.insert(inner.begin(), inner.end());
#ifndef _WIN32
    expected["odd."] = "trailing dot";
#endif
    if (!adopted) {
      // Not ours to delete: the replaced main program is kept aside, the rest stays.
      expected["Old\\stale.dll"] = "stale";
      expected["old.tmp"] = "aside";
      expected["data.pak"] = "a file, no copy of Data";
      expected["Database\\index.dat"] = "no copy of Data either";
      if (c.older_program) expected[std::string(kKeptDir) + "\\KeloBrowser.exe"] = "from an older setup";
    }
    EXPECT_EQ(Snapshot(fs), expected);
    // Nor are their folders ours: a later payload's file at such a name would set it aside whole.
    Ledger ledger;
    ASSERT_TRUE(ParseLedger(expected[kLedgerName], &ledger));
    const std::set<std::string> ours = adopted ? std::set<std::string>{"Database", "Lib", "Old", "Skin"}
                                               : std::set<std::string>{"Lib", "Skin"};
    EXPECT_EQ(std::set<std::string>(ledger.dirs.begin(), ledger.dirs.end()), ours);
    if (c.adopt) continue;
    // The uninstall puts what was kept aside back where it was, and only once it is done:
    // an uninstall that fails keeps the ledger, which lists that name as ours.
    FaultyFs unmarkable(fs, FaultyFs::kFail, 0);
    unmarkable.FailFinishOf(kDataMarker);
    EXPECT_FALSE(UninstallFiles(&unmarkable, /*keep_data=*/false).ok());
    EXPECT_EQ(fs->Probe("KeloBrowser.exe"), InstallFs::Kind::kMissing) << "put back while the ledger stays";
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    const Files left = Snapshot(fs);
    EXPECT_EQ(left.count("KeloBrowser.exe") ? left.at("KeloBrowser.exe") : "<gone>", "from an older setup");
    EXPECT_EQ(fs->Probe(kKeptDir), InstallFs::Kind::kMissing);
  }
}

// After Data's removal, only other installations below it may be what stayed for the
// uninstall to end as a success: anything of the profile, Data itself holding our own names
// (an installation made right there, the profile in it), or no Data at all is not that.
TEST(InstallTransaction, DataLeftOnlyForInstallationsIsToldApart) {
  const struct {
    std::vector<std::string> files;  // ending in a backslash: an empty folder
    bool only_installations;
  } cases[] = {{{"Data\\Game2\\KeloSetup.ledger"}, true},
               {{"Data\\Games\\Game2\\KeloSetup.ledger", "Data\\Games\\Game3\\KeloSetup.data"}, true},
               {{"Data\\Game2\\KeloSetup.ledger", "Data\\profile.ini"}, false},
               {{"Data\\Game2\\KeloSetup.ledger", "Data\\Default\\"}, false},
               {{"Data\\KeloSetup.exe", "Data\\Game2\\KeloSetup.ledger"}, false},
               {{"Data\\"}, false},
               {{}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.files));
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    for (const std::string& name : c.files) {
      Put(fs, name.back() == '\\' ? name + "x" : name, "x");
      if (name.back() == '\\') {
        ASSERT_TRUE(fs->RemoveFile(name + "x"));
      }
    }
    EXPECT_EQ(DataHoldsOnlyInstallations(fs), c.only_installations);
  }
#ifndef _WIN32
  // A Data linked to another drive is not entered: the profile behind it stays.
  Scratch scratch, elsewhere;
  Put(elsewhere.fs(), "Game2\\KeloSetup.ledger", "x");
  ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/Data").c_str()), 0);
  EXPECT_FALSE(DataHoldsOnlyInstallations(scratch.fs()));
#endif
}

// A file of the user's that a payload file displaced is back at its own name as soon as an
// update no longer carries that name, and a later payload carrying it again sets it aside
// under that name once more.
TEST(InstallTransaction, DisplacedUserFileReturnsWhenNoPayloadCarriesItsName) {
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  Put(fs, "Lib\\gone.dll", "the user's");
  const std::string kept = std::string(kKeptDir) + "\\Lib\\gone.dll";
  for (const Files* payload : {&kEarlier, &kNext, &kEarlier}) {
    ASSERT_TRUE(Install(fs, Pack(*payload)).ok());
    const Files now = Snapshot(fs);
    const bool carried = payload->count("Lib\\gone.dll") != 0;
    EXPECT_EQ(now.count("Lib\\gone.dll") ? now.at("Lib\\gone.dll") : "<gone>",
              carried ? payload->at("Lib\\gone.dll") : "the user's");
    EXPECT_EQ(now.count(kept) ? now.at(kept) : "<none>", carried ? "the user's" : "<none>");
    EXPECT_EQ(now.size(), payload->size() + 2) << "the ledger and the user's file besides";
  }
  // A file put among the set-aside ones by hand, under a name of the installer's own folders,
  // is never "put back" there, where the next install would clear it.
  const std::string planted = std::string(kKeptDir) + "\\KeloSetup.new\\notes.txt";
  Put(fs, planted, "planted by hand");
  for (const Files* payload : {&kNext, &kEarlier}) ASSERT_TRUE(Install(fs, Pack(*payload)).ok());
  EXPECT_EQ(Snapshot(fs)[planted], "planted by hand");
}

TEST(InstallTransaction, UninstallRemovesExactlyTheLedgersFiles) {
  const struct {
    bool keep_data;
    bool data_before;  // a Data folder already there at the first install
    bool adopt;        // the product's own default folder
    bool data_goes;
  } cases[] = {{true, false, false, false},
               {false, false, false, true},
               // The user's own Data folder stays whatever the answer, but in the product's folder.
               {false, true, false, false},
               {false, true, true, true},
               {true, false, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "keep " << c.keep_data << ", before " << c.data_before << ", adopt " << c.adopt);
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    if (c.data_before) Put(fs, "Data\\Profile\\user.ini", "[User]");
    ASSERT_TRUE(Install(fs, Pack(kEarlier), c.adopt).ok());
    ASSERT_TRUE(Install(fs, Pack(kNext), c.adopt).ok());  // what the first install found is kept
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    ASSERT_TRUE(UninstallFiles(fs, c.keep_data).ok());
    Files expected = kUsers;
    if (c.data_goes) expected.erase("Data\\Profile\\user.ini");
    // The folder holds the user's files: marked, and a Data kept vouched for as the browser's
    // unless it was the user's.
    const bool foreign = c.data_before && !c.adopt;
    expected[kDataMarker] = c.keep_data && !foreign ? "" : "left by an uninstall";
    EXPECT_EQ(Snapshot(fs), expected);
    EXPECT_EQ(fs->Probe("Skin"), InstallFs::Kind::kMissing) << "a folder of ours left empty stays";
    EXPECT_EQ(fs->Probe("Lib"), InstallFs::Kind::kDirectory) << "a folder holding the user's file went";
    // Installed there again, the folder is no older setup program's to clear, even beside an
    // older main program.
    Put(fs, "KeloBrowser.exe", "an older setup's");
    ASSERT_TRUE(Install(fs, Pack(kEarlier), c.adopt).ok());
    const Files disk = Snapshot(fs);
    for (const auto& [name, bytes] : expected) {
      if (name == kDataMarker) continue;
      EXPECT_EQ(disk.count(name) ? disk.at(name) : "<gone>", bytes) << name;
    }
  }
  {
    // An installation the user put inside Data (a folder picked there) is another's: Data's
    // removal leaves it, and the Data holding it.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    const Files nested = {{"Data\\KeloBrowser\\KeloBrowser.exe", "another installation"},
                          {"Data\\KeloBrowser\\KeloSetup.ledger", "its record"},
                          {"Data\\KeloBrowser\\Data\\profile.db", "its profile"}};
    for (const auto& [name, bytes] : nested) Put(fs, name, bytes);
    Put(fs, "Data\\Profile\\user.ini", "[User]");
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    const Files left = Snapshot(fs);
    for (const auto& [name, bytes] : nested) EXPECT_EQ(left.count(name) ? left.at(name) : "<gone>", bytes) << name;
    EXPECT_EQ(left.count("Data\\Profile\\user.ini"), 0u) << "the rest of Data stayed";
    EXPECT_TRUE(DataHoldsOnlyInstallations(fs));
  }
  {
    // A Data made after an uninstall that kept none is someone else's.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "My notes.txt", "do not lose");
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    Put(fs, "Data\\game.sav", "another game's");
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    EXPECT_EQ(Snapshot(fs)["Data\\game.sav"], "another game's");
  }
  {
    // What the uninstall saw was on its way out (a file another program still had open): the
    // folder's mark goes once nothing else is left, so that the folder can go.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "Lib\\pending.tmp", "");
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    TidyLeftFolder(fs);
    EXPECT_EQ(fs->Probe(kDataMarker), InstallFs::Kind::kFile) << "the mark went while a file of the user's stays";
    ASSERT_TRUE(fs->RemoveFile("Lib\\pending.tmp"));
    TidyLeftFolder(fs);
    EXPECT_EQ(Snapshot(fs), Files());
    EXPECT_EQ(fs->Probe("Lib"), InstallFs::Kind::kMissing) << "an empty folder keeps the folder from going";
  }
  {
    // The running uninstaller's own file cannot be deleted: it goes aside only after Data, so
    // an uninstall cut short while a profile goes leaves the uninstaller to run again.
    int points = 0;
    for (int at = 1;; ++at) {
      Scratch scratch;
      InstallFs* fs = scratch.fs();
      ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
      for (const char* name : {"Data\\Profile\\a.ini", "Data\\Profile\\b.ini", "Data\\cache.db"}) Put(fs, name, "x");
      FaultyFs ended(fs, FaultyFs::kStop, at);
      ended.FailRemoveOf("KeloUninstall.exe");
      (void)UninstallFiles(&ended, /*keep_data=*/false);
      if (!ended.stopped()) break;
      const Files disk = Snapshot(fs);
      const bool data_left = std::any_of(disk.begin(), disk.end(), [](const auto& f) { return f.first.rfind("Data\\", 0) == 0; });
      if (!data_left) continue;
      ++points;
      EXPECT_TRUE(disk.count("KeloUninstall.exe")) << "ended at operation " << at << ": the uninstaller went aside first";
    }
    EXPECT_GT(points, 3);
  }
  for (const bool mark_fails : {true, false}) {
    // A mark that cannot be written keeps the ledger: without either, the next install into
    // the product's own folder would take the user's files for an older setup program's.
    // Files in use (the running uninstaller's own) stay at their names, or come back there
    // after a ledger that cannot be removed: left aside, the uninstaller would be out of
    // reach.
    SCOPED_TRACE(mark_fails ? "mark" : "ledger");
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier), /*adopt=*/true).ok());
    Put(fs, "My notes.txt", "do not lose");
    FaultyFs failing(fs, FaultyFs::kFail, 0);
    if (mark_fails) failing.FailFinishOf(kDataMarker);
    else failing.FailRemoveOf(kLedgerName);
    for (const char* in_use : {"KeloUninstall.exe", "Lib\\core.dll"}) failing.FailRemoveOf(in_use);
    EXPECT_FALSE(UninstallFiles(&failing, /*keep_data=*/false).ok());
    EXPECT_EQ(fs->Probe(kLedgerName), InstallFs::Kind::kFile);
    const Files left = Snapshot(fs);
    for (const char* in_use : {"KeloUninstall.exe", "Lib\\core.dll"})
      EXPECT_TRUE(left.count(in_use) && left.at(in_use) == kEarlier.at(in_use)) << in_use << " stays aside";
    EXPECT_EQ(fs->Probe(kAsideDir), InstallFs::Kind::kMissing);
    ASSERT_TRUE(Install(fs, Pack(kNext), /*adopt=*/true).ok());
    EXPECT_EQ(Snapshot(fs)["My notes.txt"], "do not lose");
  }
  // Data that an uninstall kept is still the browser's when it is installed there again.
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  Put(fs, "Data\\Profile\\user.ini", "[User]");
  ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/true).ok());
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
  EXPECT_EQ(Snapshot(fs), Files()) << "Data kept once is never removed again";
}

// A file of Data that is there is the browser's, once a payload brought it: a re-install,
// an update that carries it anew, one that no longer carries it and one that has a folder
// of that name (whose file then stays out) all leave it as the browser left it. A user's
// own Data file where a first install comes stays the user's.
TEST(InstallTransaction, DataFilesThereAreNeverReplacedOrRemoved) {
  Files first = kEarlier;
  first["Data\\defaults.ini"] = "shipped";
  Files again = kNext;
  again["Data\\defaults.ini"] = "shipped anew";
  Files as_folder = kNext;
  as_folder["Data\\defaults.ini\\seed.ini"] = "a folder now";
  for (const Files* next : std::initializer_list<const Files*>{&first, &again, &kNext, &as_folder}) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(first)).ok());
    Put(fs, "Data\\defaults.ini", "changed by the browser");
    EXPECT_TRUE(Install(fs, Pack(*next)).ok());
    const Files disk = Snapshot(fs);
    EXPECT_EQ(disk.at("Data\\defaults.ini"), "changed by the browser");
    EXPECT_TRUE(Settled(disk));
  }
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  Put(fs, "Data\\defaults.ini", "the user's");
  ASSERT_TRUE(Install(fs, Pack(first)).ok());
  const Files disk = Snapshot(fs);
  EXPECT_EQ(disk.at("Data\\defaults.ini"), "the user's");
  EXPECT_TRUE(Settled(disk)) << "the user's file went aside";
}

// A move never takes the place of what stands at its target, whatever came there after the
// look that planned it: a file, an empty folder (which a rename alone would replace).
// Refused, both left as they were.
TEST(InstallTransaction, AMoveNeverReplacesItsTarget) {
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  Put(fs, "a", "ours");
  Put(fs, "b", "theirs");
  Put(fs, "d\\e", "ours");
  ASSERT_TRUE(fs->MakeDir("c"));
  EXPECT_FALSE(fs->Move("a", "b"));
  EXPECT_FALSE(fs->Move("d", "c"));
  EXPECT_EQ(Snapshot(fs), (Files{{"a", "ours"}, {"b", "theirs"}, {"c\\", ""}, {"d\\e", "ours"}}));
}

// A look at the disk that fails is reported with its error, not taken for something in the
// way: the log would send support looking for a file that is not there.
// Also the records': one that cannot be looked at now (a drive gone for the moment) is no
// damaged one, which would send the user to remove the folder by hand.
TEST(InstallTransaction, ALookThatFailsIsReportedWithItsError) {
  for (const char* unseen : {"KeloSetup.new\\Lib", "Plugins", "Skin\\a.png", "KeloSetup.old\\Skin\\a.png",
                             kLedgerName, kJournalName}) {
    SCOPED_TRACE(unseen);
    Scratch scratch;
    ASSERT_TRUE(Install(scratch.fs(), Pack(kEarlier)).ok());
    FaultyFs held(scratch.fs(), FaultyFs::kFail, 0);
    held.FailProbeOf(unseen);
    std::vector<InstallOutcome> outcomes = {Install(&held, Pack(kNext))};
    if (unseen == std::string(kLedgerName) || unseen == std::string(kJournalName))
      outcomes.push_back(UninstallFiles(&held, /*keep_data=*/false));
    for (const InstallOutcome& outcome : outcomes) {
      EXPECT_EQ(outcome.reason, InstallOutcome::kFileSystem);
      EXPECT_EQ(outcome.system_error, 5u);
    }
  }
}

#ifndef _WIN32
// A folder of ours that the user moved elsewhere and linked back: what lies behind the link
// is not ours, neither for the uninstall nor for an update that no longer carries those
// names, and the link stays.
TEST(InstallTransaction, FilesReachedThroughALinkAreNeverRemoved) {
  Files next = kNext;
  next.erase("Lib\\core.dll");
  for (const bool uninstall : {true, false}) {
    SCOPED_TRACE(uninstall ? "uninstall" : "update");
    Scratch scratch;
    Scratch elsewhere;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const char* name : {"Lib\\core.dll", "Lib\\gone.dll"}) ASSERT_TRUE(fs->RemoveFile(name));
    ASSERT_TRUE(fs->RemoveDir("Lib"));
    const Files theirs = {{"core.dll", "theirs"}, {"gone.dll", "theirs too"}};
    for (const auto& [name, bytes] : theirs) Put(elsewhere.fs(), name, bytes);
    ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/Lib").c_str()), 0);
    EXPECT_TRUE(uninstall ? UninstallFiles(fs, /*keep_data=*/false).ok() : Install(fs, Pack(next)).ok());
    EXPECT_EQ(Snapshot(elsewhere.fs()), theirs);
    EXPECT_EQ(fs->Probe("Lib"), InstallFs::Kind::kLink);
  }
}

// One of the installer's own folders for set-aside files, planted as a link: nothing behind
// it is moved or removed, whatever the install or uninstall makes of it.
TEST(InstallTransaction, OurSetAsideFoldersAsLinksAreNotFollowed) {
  for (const char* ours : {kKeptDir, kAsideDir}) {
    for (const bool uninstall : {false, true}) {
      SCOPED_TRACE(testing::Message() << ours << (uninstall ? ", uninstall" : ", update"));
      Scratch scratch;
      Scratch elsewhere;
      InstallFs* fs = scratch.fs();
      ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
      Put(elsewhere.fs(), "Lib\\a.dll", "theirs");
      ASSERT_TRUE(elsewhere.fs()->MakeDir("Empty"));
      ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/" + ours).c_str()), 0);
      const InstallOutcome outcome = uninstall ? UninstallFiles(fs, /*keep_data=*/false) : Install(fs, Pack(kNext));
      EXPECT_EQ(Snapshot(elsewhere.fs()), (Files{{"Empty\\", ""}, {"Lib\\a.dll", "theirs"}}));
      // An update that must set the earlier files aside cannot, and says why: a link
      // stands where the folder goes (not an error left from an earlier call).
      const bool refused = !uninstall && std::string(ours) == kAsideDir;
      EXPECT_EQ(outcome.ok(), !refused);
      EXPECT_EQ(outcome.system_error, refused ? static_cast<uint32_t>(EEXIST) : 0u);
    }
  }
}

// One of the installer's own files planted as a link to another's file: nothing is written
// through it, and the run that meets it completes.
TEST(InstallTransaction, OurFilesPlantedAsLinksAreNotWrittenThrough) {
  const struct {
    const char* name;
    bool uninstall;  // keeping Data, which marks the folder left behind
  } cases[] = {{kPendingLedgerName, false}, {kPendingLedgerName, true}, {kDataMarker, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << (c.uninstall ? ", uninstall" : ", update"));
    Scratch scratch;
    Scratch elsewhere;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "Data\\Profile\\user.ini", "[User]");
    Put(elsewhere.fs(), "thesis.docx", "theirs");
    ASSERT_EQ(symlink((elsewhere.root() + "/thesis.docx").c_str(), (scratch.root() + "/" + c.name).c_str()), 0);
    EXPECT_TRUE((c.uninstall ? UninstallFiles(fs, /*keep_data=*/true) : Install(fs, Pack(kNext))).ok());
    EXPECT_EQ(Snapshot(elsewhere.fs()), (Files{{"thesis.docx", "theirs"}}));
    EXPECT_NE(fs->Probe(c.name), InstallFs::Kind::kLink);
  }
}

// A journal is read back from the disk: its names must not lead through a link to another's
// files, which a rollback would take for ones the commit brought, or for ours set aside.
TEST(InstallTransaction, RecoveryFollowsNoLinkAJournalNames) {
  const std::string heading = "KeloSetup journal 1\nledger\t0000abcd\t120\n";
  const struct {
    const char* what;
    const char* link;
    const char* moves;
  } cases[] = {{"a file brought in below a linked folder", "Cache", "move\tn\tCache\\victim.txt\t\nend\t3\n"},
               {"a file set aside in a linked folder of ours", kAsideDir,
                "move\to\tKeloBrowser.exe\tKeloSetup.old\\victim.txt\nend\t3\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch scratch;
    Scratch elsewhere;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    const Files theirs = {{"victim.txt", "theirs"}};
    Put(elsewhere.fs(), "victim.txt", "theirs");
    ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/" + c.link).c_str()), 0);
    Put(fs, kJournalName, heading + c.moves);
    (void)RecoverInstall(fs);
    EXPECT_EQ(Snapshot(elsewhere.fs()), theirs);
    EXPECT_EQ(Snapshot(fs)["KeloBrowser.exe"], kEarlier.at("KeloBrowser.exe"));
  }
}

// Data moved to another drive and linked back: an update that carries a file of Data
// completes, and leaves what is behind the link as it was.
TEST(InstallTransaction, ALinkedDataFolderTakesNoPayloadFileAndBlocksNoUpdate) {
  Files shipped = kNext;
  shipped["Data\\defaults.ini"] = "shipped";
  Scratch scratch;
  Scratch elsewhere;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  Put(elsewhere.fs(), "Profile\\user.ini", "[User]");
  ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/Data").c_str()), 0);
  const InstallOutcome outcome = Install(fs, Pack(shipped));
  EXPECT_TRUE(outcome.ok()) << static_cast<int>(outcome.reason);
  EXPECT_EQ(fs->Probe("Data"), InstallFs::Kind::kLink);
  EXPECT_EQ(Snapshot(elsewhere.fs()), (Files{{"Profile\\user.ini", "[User]"}}));
}

// Data removed on request, holding a link (a cache moved to another drive) and a name no
// path reaches: both are left alone, what lies behind the link stays, and the uninstall
// still completes, so it never asks to be run again for ever.
TEST(InstallTransaction, DataRemovalLeavesLinksAndUnreachableNamesAndCompletes) {
  Scratch scratch;
  Scratch elsewhere;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  Put(fs, "Data\\Profile\\user.ini", "[User]");
  Put(elsewhere.fs(), "cache.bin", "the cache");
  ASSERT_EQ(symlink(elsewhere.root().c_str(), (scratch.root() + "/Data/Profile/Cache").c_str()), 0);
  Put(fs, "Data\\odd", "");
  ASSERT_EQ(rename((scratch.root() + "/Data/odd").c_str(), (scratch.root() + "/Data/a\\b").c_str()), 0);
  ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
  EXPECT_EQ(fs->Probe(kLedgerName), InstallFs::Kind::kMissing);
  EXPECT_EQ(fs->Probe("Data\\Profile\\user.ini"), InstallFs::Kind::kMissing);
  EXPECT_EQ(fs->Probe("Data\\Profile\\Cache"), InstallFs::Kind::kLink);
  EXPECT_EQ(Snapshot(elsewhere.fs()), (Files{{"cache.bin", "the cache"}}));
  // What stayed of Data is still the browser's: the next install takes it so, and the next
  // uninstall asked to remove the profile does.
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  Put(fs, "Data\\Profile\\user.ini", "[User]");
  ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
  EXPECT_EQ(fs->Probe("Data\\Profile\\user.ini"), InstallFs::Kind::kMissing);
}
#endif

#ifdef _WIN32
// Below Data, what a long-path-aware program left deeper than a Win32 path reaches is left
// alone, and an uninstall that removes Data still completes: it failed every time.
TEST(InstallTransaction, DataRemovalLeavesWhatNoPathReachesAndCompletes) {
  Scratch scratch;
  InstallFs* fs = scratch.fs();
  ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
  Put(fs, "Data\\Profile\\user.ini", "[User]");
  const std::wstring profile = L"\\\\?\\" + std::wstring(scratch.root().begin(), scratch.root().end()) +
                                L"\\Data\\Profile";
  const size_t prefix = 4;  // "\\?\", which a Win32 path has not
  std::vector<std::wstring> deep = {profile};
  while (deep.back().size() - prefix < 320) {
    deep.push_back(deep.back() + L"\\" + std::wstring(40, L'd'));
    ASSERT_TRUE(CreateDirectoryW(deep.back().c_str(), nullptr));
  }
  const std::wstring cache = deep.back() + L"\\cache.bin";
  // A folder 258 characters long: a path reaches it, but not the "\*" that would list it.
  std::wstring short_of_listing = profile;
  while (short_of_listing.size() - prefix < 200) short_of_listing += L"\\" + std::wstring(40, L'e');
  short_of_listing += L"\\" + std::wstring(258 - (short_of_listing.size() - prefix) - 1, L'f');
  ASSERT_EQ(short_of_listing.size() - prefix, 258u);
  for (size_t at = profile.size() + 1; at <= short_of_listing.size(); ++at) {
    if (at == short_of_listing.size() || short_of_listing[at] == L'\\') {
      ASSERT_TRUE(CreateDirectoryW(short_of_listing.substr(0, at).c_str(), nullptr));
    }
  }
  CloseHandle(CreateFileW(cache.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  ASSERT_NE(GetFileAttributesW(cache.c_str()), INVALID_FILE_ATTRIBUTES);
  const InstallOutcome outcome = UninstallFiles(fs, /*keep_data=*/false);
  EXPECT_TRUE(outcome.ok()) << "error " << outcome.system_error;
  EXPECT_EQ(fs->Probe(kLedgerName), InstallFs::Kind::kMissing);
  EXPECT_EQ(fs->Probe("Data\\Profile\\user.ini"), InstallFs::Kind::kMissing);
  EXPECT_NE(GetFileAttributesW(cache.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesW(short_of_listing.c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(cache.c_str());
  for (auto folder = deep.rbegin(); folder != deep.rend(); ++folder) RemoveDirectoryW(folder->c_str());
  for (size_t at = short_of_listing.size(); at > profile.size(); at = short_of_listing.rfind(L'\\', at - 1))
    RemoveDirectoryW(short_of_listing.substr(0, at).c_str());
}
#endif

// What the next run cannot read decides nothing: the folder stays as it is.
TEST(InstallTransaction, RecoveryChangesNothingOnWhatItCannotRead) {
  // A journal of another version, whole or not: what its commit moved is unknown. (Only one
  // of this version's, cut short, was written before any move.)
  for (const char* journal : {"KeloSetup journal 2\nmove\to\tKeloBrowser.exe\nend\t2\n",
                              "KeloSetup journal 2\nmove\to\tKeloBrowser.exe\n"}) {
    SCOPED_TRACE(journal);
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, kJournalName, journal);
    Put(fs, std::string(kAsideDir) + "\\KeloBrowser.exe", "browser 0");
    const Files before = Snapshot(fs);
    EXPECT_EQ(RecoverInstall(fs).reason, InstallOutcome::kUnreadableRecord);
    EXPECT_EQ(Install(fs, Pack(kNext)).reason, InstallOutcome::kUnreadableRecord);
    EXPECT_EQ(Snapshot(fs), before);
  }
  {
    // One of this version's torn by lost power (its first block never written, a later one
    // whole) was cut short all the same, before any move: it is dropped, not refused.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    const Files installed = Snapshot(fs);
    Put(fs, kJournalName, std::string(4096, '\0') + "move\tr\tKeloBrowser.exe\tKeloSetup.old\\KeloBrowser.exe\n");
    EXPECT_TRUE(RecoverInstall(fs).ok());
    EXPECT_TRUE(Snapshot(fs) == installed) << "a torn journal of this version's was not dropped";
  }
  // Another version's commit cut short, its ledger-to-be whole (the journal vouches for it)
  // but not ours to read: the folder it brought in whole holds a file put there since,
  // which only that ledger tells from the commit's own.
  for (int at = 1;; ++at) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    const std::string earlier_ledger = Snapshot(fs)[kLedgerName];
    FaultyFs ended(fs, FaultyFs::kStop, at);
    Install(&ended, Pack(kNext), false, /*in_order=*/true);
    ASSERT_TRUE(ended.fired()) << "no ending left the new folder in with the commit unfinished";
    Files disk = Snapshot(fs);
    if (fs->Probe("Plugins") != InstallFs::Kind::kDirectory || !disk.count(kPendingLedgerName) ||
        disk[kLedgerName] != earlier_ledger)
      continue;
    Put(fs, "Plugins\\mine.txt", "put there since");
    const std::string pending = WithLineAdded(disk[kPendingLedgerName], "later\tline");
    Put(fs, kPendingLedgerName, pending);
    Journal journal;
    ASSERT_TRUE(ParseJournal(disk[kJournalName], &journal));
    journal.ledger_size = pending.size();
    journal.ledger_crc = Crc32(0, pending.data(), pending.size());
    Put(fs, kJournalName, FormatJournal(journal));
    const Files before = Snapshot(fs);
    EXPECT_EQ(RecoverInstall(fs).reason, InstallOutcome::kUnreadableRecord);
    EXPECT_EQ(Snapshot(fs), before);
    break;
  }
  // A ledger that cannot be understood tells nothing of what is ours, even in the product's
  // own folder, where a folder without one is an older setup's to clear.
  for (const bool adopt : {false, true}) {
    for (const auto& [what, edit] : std::vector<std::pair<const char*, std::function<std::string(std::string)>>>{
             {"cut short", [](std::string text) { return text.substr(0, text.size() / 2); }},
             {"another version's", [](std::string text) { return text.replace(17, 1, "2"); }},
             {"listing itself",
              [](std::string text) { return WithLineAdded(text, "file\t1\t00000000\tKeloSetup.ledger"); }}}) {
      SCOPED_TRACE(testing::Message() << "a ledger " << what << ", adopt " << adopt);
      Scratch scratch;
      InstallFs* fs = scratch.fs();
      ASSERT_TRUE(Install(fs, Pack(kEarlier), adopt).ok());
      for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
      Put(fs, "Plugins\\mine.txt", "the user's");
      Put(fs, kLedgerName, edit(Snapshot(fs)[kLedgerName]));
      const Files before = Snapshot(fs);
      EXPECT_EQ(Install(fs, Pack(kNext), adopt).reason, InstallOutcome::kUnreadableRecord);
      EXPECT_EQ(UninstallFiles(fs, /*keep_data=*/false).reason, InstallOutcome::kUnreadableRecord);
      EXPECT_EQ(Snapshot(fs), before);
    }
  }
  {
    // Nor does a ledger that is no file.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    ASSERT_TRUE(fs->RemoveFile(kLedgerName) && fs->MakeDir(kLedgerName));
    const Files before = Snapshot(fs);
    EXPECT_EQ(Install(fs, Pack(kNext)).reason, InstallOutcome::kUnreadableRecord);
    EXPECT_EQ(UninstallFiles(fs, /*keep_data=*/false).reason, InstallOutcome::kUnreadableRecord);
    EXPECT_EQ(Snapshot(fs), before);
  }
  // An install ended after its ledger went in, before its journal went; at the next start
  // the ledger cannot be opened for a moment (a scanner holds it).
  std::string next_ledger;
  {
    Scratch scratch;
    ASSERT_TRUE(Install(scratch.fs(), Pack(kEarlier)).ok());
    ASSERT_TRUE(Install(scratch.fs(), Pack(kNext)).ok());
    next_ledger = Snapshot(scratch.fs())[kLedgerName];
  }
  for (int at = 1;; ++at) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    FaultyFs ended(fs, FaultyFs::kStop, at);
    Install(&ended, Pack(kNext), false, /*in_order=*/true);
    ASSERT_TRUE(ended.fired()) << "no ending left the new ledger beside the journal";
    const Files disk = Snapshot(fs);
    if (!disk.count(kJournalName) || disk.at(kLedgerName) != next_ledger) continue;
    FaultyFs held(fs, FaultyFs::kFail, 0);
    held.FailOpenOf(kLedgerName);
    EXPECT_FALSE(RecoverInstall(&held).ok());
    EXPECT_EQ(Snapshot(fs), disk) << "recovery acted on a ledger it could not read";
    ASSERT_TRUE(RecoverInstall(fs).ok());
    EXPECT_EQ(Judge(Snapshot(fs)), "next");
    break;
  }
}

// A rollback takes back only what its commit brought. A file at a name the commit sets
// aside, with nothing aside, is the earlier one or the user's, even with its staged copy
// gone (a scanner took it); and an earlier file aside that cannot be looked at stays, with
// the journal, until it can go back.
TEST(InstallTransaction, RollBackTakesBackOnlyWhatTheCommitBrought) {
  const std::string heading = "KeloSetup journal 1\nledger\t0000abcd\t120\n";
  const struct {
    const char* what;
    const Files* installed;
    std::string moves;                        // the journal's, with its end line
    std::function<bool(InstallFs*)> begun;    // what the commit did before it ended
    const char* unseen;                       // a copy aside whose first look fails
  } cases[] = {
      {"ended before its first move, the staged copies gone", &kEarlier,
       "move\to\tKeloBrowser.exe\tKeloSetup.old\\KeloBrowser.exe\n"
       "move\tk\tMy notes.txt\tKeloSetup.kept\\My notes.txt\nend\t4\n",
       [](InstallFs*) { return true; }, nullptr},
      {"the earlier file aside, its folder gone, and the first look at it failing", &kEarlier,
       "move\td\tSkin\\a.png\tKeloSetup.old\\Skin\\a.png\nend\t3\n",
       [](InstallFs* fs) {
         return fs->MakeDir("KeloSetup.old") && fs->MakeDir("KeloSetup.old\\Skin") &&
                fs->Move("Skin\\a.png", "KeloSetup.old\\Skin\\a.png") && fs->RemoveDir("Skin");
       },
       "KeloSetup.old\\Skin\\a.png"},
      {"a folder of ours to become a file, ended before the folder went aside", &kNext,
       "move\td\tPlugins\tKeloSetup.old\\Plugins\nmove\tn\tPlugins\t\nend\t4\n",
       [](InstallFs*) { return true; }, nullptr},
      {"a folder moved in whole, and the first look at the ledger it was to bring failing", &kEarlier,
       "move\tn\tPlugins\t\nend\t3\n", [](InstallFs* fs) { return Put(fs, "Plugins\\new\\p.dat", "new"), true; },
       "KeloSetup.ledger.new"},
      {"a new file moved in, and the first look at it failing", &kEarlier, "move\tn\tNew.dat\t\nend\t3\n",
       [](InstallFs* fs) { return Put(fs, "New.dat", "new"), true; }, "New.dat"},
      {"a new file moved in, and the first look at its staged place failing", &kEarlier,
       "move\tn\tNew.dat\t\nend\t3\n",
       [](InstallFs* fs) { return Put(fs, "New.dat", "new"), fs->MakeDir("KeloSetup.new"); }, "KeloSetup.new\\New.dat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(*c.installed)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    const Files before = Snapshot(fs);
    Put(fs, kJournalName, heading + c.moves);
    ASSERT_TRUE(c.begun(fs));
    if (c.unseen) {
      FaultyFs held(fs, FaultyFs::kFail, 0);
      held.FailProbeOf(c.unseen);
      EXPECT_FALSE(RecoverInstall(&held).ok()) << "a copy that could not be looked at was taken for none";
    }
    ASSERT_TRUE(RecoverInstall(fs).ok());
    EXPECT_EQ(Snapshot(fs), before);
  }
}

// A ledger that went in though its replace failed (the flush after it did) holds the
// commit: the new files stay under it, or the next run finds them so.
TEST(InstallTransaction, ALedgerInPlaceDespiteAFailedReplaceHoldsTheCommit) {
  for (const bool readable : {true, false}) {
    SCOPED_TRACE(readable ? "the ledger read back" : "the ledger unreadable for a moment");
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    FaultyFs failing(fs, FaultyFs::kFail, 0);
    failing.FailAfterReplaceOf(kLedgerName, !readable);
    EXPECT_EQ(Install(&failing, Pack(kNext), false, /*in_order=*/true).ok(), readable);
    ASSERT_TRUE(failing.fired());
    ASSERT_TRUE(RecoverInstall(fs).ok());
    EXPECT_EQ(Judge(Snapshot(fs)), "next");
    EXPECT_TRUE(Settled(Snapshot(fs)));
  }
}

// A commit that fails part way is rolled back in the same run, even when the ledger can no
// longer be read by then: only a replace of the ledger that was tried needs it read back,
// and one that cannot be is left to the next run's recovery.
TEST(InstallTransaction, ACommitFailingWithTheLedgerUnreadableIsRolledBackAtOnce) {
  int first_move = 0;
  {
    Scratch scratch;
    ASSERT_TRUE(Install(scratch.fs(), Pack(kEarlier)).ok());
    FaultyFs counting(scratch.fs(), FaultyFs::kFail, 0);
    ASSERT_TRUE(Install(&counting, Pack(kNext), false, /*in_order=*/true).ok());
    first_move = counting.first_move();
    ASSERT_GT(first_move, 0);
  }
  int points = 0;
  for (int at = first_move;; ++at) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    FaultyFs failing(fs, FaultyFs::kFail, at);
    failing.FailOpenOfOnceMoving(kLedgerName);
    const InstallOutcome outcome = Install(&failing, Pack(kNext), false, /*in_order=*/true);
    if (!failing.struck()) break;
    ++points;
    const std::string where = "failing operation " + std::to_string(at);
    if (failing.replace_at() == at) {
      EXPECT_FALSE(outcome.ok()) << where;
      ASSERT_TRUE(RecoverInstall(fs).ok()) << where;
    }
    const Files disk = Snapshot(fs);
    const std::string state = Judge(disk);
    EXPECT_TRUE(state == "earlier" || state == "next") << where << ": " << state;
    // Rolled back whole, not left to a later run.
    if (state == "earlier") {
      EXPECT_FALSE(outcome.ok()) << where;
      EXPECT_TRUE(Settled(disk)) << where;
    }
  }
  EXPECT_GT(points, 5);
}

// What recovery cannot finish stops the run, and what cannot be listed is taken for the
// user's: nothing of the user's goes, and nothing left over comes in.
TEST(InstallTransaction, WhatCannotBeFinishedOrListedStopsOrKeeps) {
  {
    SCOPED_TRACE("a journal that outlives its commit");
    // Left after a finished commit, the journal must stop an uninstall before the ledger
    // goes: a later recovery would take the commit for one to roll back, and a folder it
    // brought whole (with the user's file now in it) would go.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    FaultyFs held(fs, FaultyFs::kFail, 0);
    held.FailRemoveOf(kJournalName);
    ASSERT_TRUE(Install(&held, Pack(kNext)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    Put(fs, "Plugins\\mine.txt", "the user's");
    EXPECT_FALSE(UninstallFiles(&held, /*keep_data=*/false).ok());
    ASSERT_TRUE(RecoverInstall(fs).ok());
    Files disk = Snapshot(fs);
    EXPECT_EQ(disk["Plugins\\mine.txt"], "the user's");
    disk.erase("Plugins\\mine.txt");
    EXPECT_EQ(Judge(disk), "next");
  }
  {
    SCOPED_TRACE("staging that cannot be emptied");
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "KeloSetup.new\\Plugins\\stale.dll", "an earlier attempt's");
    FaultyFs held(fs, FaultyFs::kFail, 0);
    held.FailRemoveOf("KeloSetup.new\\Plugins\\stale.dll");
    EXPECT_FALSE(Install(&held, Pack(kNext)).ok());
    EXPECT_EQ(fs->Probe("Plugins\\stale.dll"), InstallFs::Kind::kMissing) << "a leftover came in";
  }
  {
    SCOPED_TRACE("a folder that cannot be listed at the first install");
    // It may hold the user's Data: an uninstall told to remove Data leaves it.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    Put(fs, "Data\\Profile\\user.ini", "[User]");
    FaultyFs unlisted(fs, FaultyFs::kFail, 0);
    unlisted.FailListOf("");
    ASSERT_TRUE(Install(&unlisted, Pack(kEarlier)).ok());
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    EXPECT_EQ(Snapshot(fs), (Files{{"Data\\Profile\\user.ini", "[User]"}, {kDataMarker, "left by an uninstall"}}));
  }
  {
    SCOPED_TRACE("Data files held by another program");
    // Data goes first: what is left of a failed uninstall is a browser that still runs. The
    // first held file stops it: each further one would be waited for, to no end.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "Data\\Cache\\index", "cache");
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    FaultyFs held(fs, FaultyFs::kFail, 0);
    held.FailRemoveOf("Data\\Profile\\user.ini");
    held.FailRemoveOf("Data\\Cache\\index");
    const InstallOutcome outcome = UninstallFiles(&held, /*keep_data=*/false);
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.where, "Data") << "the uninstaller cannot say what stopped it";
    EXPECT_EQ(held.refused_removes(), 1);
    EXPECT_EQ(Judge(Snapshot(fs)), "earlier");
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    EXPECT_EQ(fs->Probe("KeloBrowser.exe"), InstallFs::Kind::kMissing);
  }
  {
    SCOPED_TRACE("a folder that cannot be listed at the uninstall");
    // The user said Data goes: a Data that could not be looked for is no uninstall done.
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    Put(fs, "Data\\Profile\\user.ini", "[User]");
    FaultyFs unlisted(fs, FaultyFs::kFail, 0);
    unlisted.FailListOf("");
    EXPECT_FALSE(UninstallFiles(&unlisted, /*keep_data=*/false).ok());
    EXPECT_EQ(fs->Probe(kLedgerName), InstallFs::Kind::kFile) << "nothing is left to uninstall again";
    ASSERT_TRUE(UninstallFiles(fs, /*keep_data=*/false).ok());
    EXPECT_EQ(Snapshot(fs), Files());
  }
}

// A fresh install of `payload` puts exactly its files in place, byte for byte.
void ExpectInstalledByteForByte(const Files& payload) {
  const std::vector<uint8_t> packet = Pack(payload);
  Scratch scratch;
  ASSERT_TRUE(InstallPacket(scratch.fs(), packet.data(), packet.size(), InstallRules()).ok());
  Files disk = Snapshot(scratch.fs());
  disk.erase(kLedgerName);
  EXPECT_TRUE(disk == payload);
}

// The decoder writes into a ring that holds the dictionary and 8 MB more; a payload larger
// than that makes it wrap, and every byte must still reach the files as packed.
TEST(InstallTransaction, PayloadLargerThanTheDecodeRingInstallsByteForByte) {
  Files payload = {{"KeloBrowser.exe", "browser"}};
  uint32_t seed = 1;
  for (const char* name : {"Lib\\big1.dat", "Lib\\big2.dat", "small.txt"}) {
    std::string bytes;
    const size_t size = name[0] == 's' ? 3 : size_t{5} << 20;
    // Runs of random bytes, each now and then a copy from up to the dictionary's size back.
    while (bytes.size() < size) {
      seed = seed * 1664525u + 1013904223u;
      if (bytes.size() > 70000 && seed % 3 == 0) {
        bytes += bytes.substr(bytes.size() - 1000 - seed % 60000, 300);
      } else {
        for (int i = 0; i < 64; ++i) bytes += static_cast<char>((seed >> (i % 24)) ^ i);
      }
    }
    bytes.resize(size);
    payload[name] = bytes;
  }
  // A decoder that runs a whole ring ahead of the writer waits for it: the packet fuzz
  // target builds the ring at 4 KB, where that happens at every step.
  ExpectInstalledByteForByte(payload);
}

#ifdef KELO_DECODE_AHEAD_BYTES
// The walker takes the decoded bytes in steps that end where the ring ends: a record cut
// there at any point of its header, its name or its data arrives whole.
TEST(InstallTransaction, ARecordCutAnywhereByTheRingsEndArrivesWhole) {
  constexpr size_t kRingBytes = kTestDictionaryBytes + KELO_DECODE_AHEAD_BYTES;
  const std::string first = "KeloBrowser.exe";
  const std::string second = "Lib\\second.dat";
  const std::string second_bytes = "the second file";
  const size_t first_record = kRecordHeaderSize + first.size();
  for (size_t into = 1; into < kRecordHeaderSize + second.size() + second_bytes.size(); ++into) {
    SCOPED_TRACE(into);
    ExpectInstalledByteForByte({{first, std::string(kRingBytes - into - first_record, 'b')}, {second, second_bytes}});
  }
}
#endif

TEST(InstallTransaction, RefusedPacketsTouchNothing) {
  Files reserved = kNext;
  reserved["keloSETUP.ledger"] = "a packet must not write our ledger";
  Files no_main = kNext;
  no_main.erase("KeloBrowser.exe");
  Files folder_and_file = kNext;
  folder_and_file["Skin\\a.png\\inner"] = "a file below a file";
  // The folder's record first (upper case sorts first), then the file, which the live one
  // matches: a packet that is its own contradiction, whatever the directory holds.
  Files file_after_folder = kNext;
  file_after_folder["KELOUNINSTALL.EXE\\x.dll"] = "a file below the uninstaller";
  std::vector<uint8_t> corrupt = Pack(kNext);
  for (size_t i = 20; i < 40; ++i) corrupt[i] ^= 0x5A;
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    InstallOutcome::Reason reason;
  } cases[] = {
      {"reserved name", Pack(reserved), InstallOutcome::kBadPacket},
      {"no main program", Pack(no_main), InstallOutcome::kMissingFile},
      {"file below a file", Pack(folder_and_file), InstallOutcome::kBadPacket},
      {"an unchanged file where a folder was", Pack(file_after_folder), InstallOutcome::kBadPacket},
      {"corrupt stream", corrupt, InstallOutcome::kBadPacket},
  };
  for (const auto& c : cases) {
    Scratch scratch;
    InstallFs* fs = scratch.fs();
    ASSERT_TRUE(Install(fs, Pack(kEarlier)).ok());
    for (const auto& [name, bytes] : kUsers) Put(fs, name, bytes);
    const Files before = Snapshot(fs);
    EXPECT_EQ(Install(fs, c.packet).reason, c.reason) << c.what;
    EXPECT_EQ(Snapshot(fs), before) << c.what;
  }
}

TEST(InstallTransaction, LedgerAndJournalReadBackAndRefuseWhatIsCutShort) {
  Ledger ledger;
  ledger.commit = 3;
  ledger.made_levels = 2;
  ledger.dirs = {"Lib", "Lib\\sub dir"};
  ledger.files = {{"KeloBrowser.exe", 12345, 0xDEADBEEF}, {"Lib\\sub dir\\a b.txt", 0, 0}};
  Ledger read;
  const std::string text = FormatLedger(ledger);
  ASSERT_TRUE(ParseLedger(text, &read));
  EXPECT_EQ(FormatLedger(read), text);
  Journal journal;
  journal.ledger_crc = 7;
  journal.ledger_size = 99;
  journal.made_dirs = {"Plugins"};
  journal.moves = {{JournalMove::kAdd, "a", ""}, {JournalMove::kReplace, "b", "KeloSetup.old\\b"},
                   {JournalMove::kDrop, "c d", "KeloSetup.old\\c d.1"},
                   // A numbered copy of a name as long as a packet's may be longer.
                   {JournalMove::kReplace, std::string(259, 'e'), "KeloSetup.old\\" + std::string(259, 'e') + ".12"}};
  Journal journal_read;
  const std::string journal_text = FormatJournal(journal);
  ASSERT_TRUE(ParseJournal(journal_text, &journal_read));
  EXPECT_EQ(FormatJournal(journal_read), journal_text);
  // A name that leads out of the install directory, or a copy put anywhere but our own
  // folders for them, makes the whole file unusable.
  for (const std::string bad : {"..\\..\\Documents\\thesis.docx", "C:\\Windows\\x.dll", "\\\\server\\share\\x",
                                "Lib\\..\\..\\x", "Lib\\", "a/b"}) {
    SCOPED_TRACE(bad);
    Ledger with_file = ledger;
    with_file.files.push_back({bad, 1, 0});
    Ledger with_dir = ledger;
    with_dir.dirs.push_back(bad);
    EXPECT_FALSE(ParseLedger(FormatLedger(with_file), &read));
    EXPECT_FALSE(ParseLedger(FormatLedger(with_dir), &read));
    Journal with_move = journal;
    with_move.moves.push_back({JournalMove::kAdd, bad, ""});
    Journal with_mkdir = journal;
    with_mkdir.made_dirs.push_back(bad);
    EXPECT_FALSE(ParseJournal(FormatJournal(with_move), &journal_read));
    EXPECT_FALSE(ParseJournal(FormatJournal(with_mkdir), &journal_read));
  }
  for (const std::string aside : {"b", "Lib\\b", "KeloSetup.old", "KeloSetup.oldb", "KeloSetup.new\\b",
                                  "KeloSetup.old\\..\\..\\b"}) {
    Journal with_aside = journal;
    with_aside.moves.push_back({JournalMove::kReplace, "f", aside});
    EXPECT_FALSE(ParseJournal(FormatJournal(with_aside), &journal_read)) << aside;
  }
  // A name is moved once, or as a drop and then an add (in any letter case): anything else
  // cannot be rolled back by what the disk shows.
  using M = JournalMove;
  const struct {
    std::vector<JournalMove> moves;
    bool readable;
  } twice[] = {{{{M::kDrop, "P", "KeloSetup.old\\P"}, {M::kAdd, "p", ""}}, true},
               {{{M::kAdd, "P", ""}, {M::kDrop, "P", "KeloSetup.old\\P"}}, false},
               {{{M::kReplace, "P", "KeloSetup.old\\P"}, {M::kAdd, "P", ""}}, false},
               {{{M::kDrop, "P", "KeloSetup.old\\P"}, {M::kAdd, "P", ""}, {M::kAdd, "P", ""}}, false},
               {{{M::kReplace, "P", "KeloSetup.old\\P"}, {M::kKeep, "p", "KeloSetup.kept\\p"}}, false}};
  for (const auto& c : twice) {
    Journal with_twice = journal;
    with_twice.moves.insert(with_twice.moves.end(), c.moves.begin(), c.moves.end());
    EXPECT_EQ(ParseJournal(FormatJournal(with_twice), &journal_read), c.readable) << FormatJournal(with_twice);
  }
  // Every cut of either text but the whole is refused.
  for (const std::string* whole : {&text, &journal_text}) {
    for (size_t cut = 0; cut < whole->size(); ++cut) {
      const std::string part = whole->substr(0, cut);
      EXPECT_FALSE(whole == &text ? ParseLedger(part, &read) : ParseJournal(part, &journal_read)) << cut;
    }
  }
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A damaged or planted ledger or journal is read as it lies: however many short lines or
// fields it holds, refusing it takes little more memory than its bytes.
TEST(InstallTransactionDeathTest, RecordsOfCountlessShortLinesOrFieldsAreRefusedInLittleMemory) {
  if (!AddressSpaceUncapped()) GTEST_SKIP() << "the address space is capped already";
  constexpr size_t kBytes = size_t{32} << 20;
  const std::string breaks(kBytes, '\n');
  const std::string tabs(kBytes, '\t');
  const std::string closing = "end\t" + std::to_string(kBytes + 1) + "\n";
  const struct {
    const char* name;
    std::string text;
    bool cut_short;
  } damaged[] = {
      {"line breaks only", breaks, true},
      {"empty lines, whole by the count", "KeloSetup ledger 1\n" + breaks + closing, false},
      {"a line of tabs", "KeloSetup ledger 1\n" + tabs + "\nend\t2\n", false},
      {"a closing line of tabs", "KeloSetup ledger 1\n" + tabs + "\n", true},
      {"a journal of empty lines", "KeloSetup journal 1\n" + breaks + closing, false},
  };
  for (const auto& c : damaged) {
    EXPECT_EXIT(
        {
          LeaveRoom(8 * kBytes);
          Ledger ledger;
          Journal journal;
          const bool refused = !ParseLedger(c.text, &ledger) && !ParseJournal(c.text, &journal);
          _exit(refused && IsCutShort(c.text) == c.cut_short ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << c.name;
  }
}
#endif

}  // namespace
}  // namespace kelo
