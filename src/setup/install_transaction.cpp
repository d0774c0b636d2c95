#include "setup/install_transaction.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "setup/crc32.h"
#include "setup/file_finisher.h"
#include "setup/ledger.h"
#include "setup/packet_stream.h"

namespace kelo {

namespace {

using Kind = InstallFs::Kind;

// Every name the transaction keeps starts so, whatever the case of its letters.
constexpr char kReservedPrefix[] = "kelosetup.";
// An install needs a little room beyond its files (folders, the ledger, the journal).
constexpr uint64_t kSpareBytes = 1u << 20;

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return name.empty() ? dir : dir + "\\" + name;
}

std::string ParentOf(const std::string& name) {
  const size_t slash = name.rfind('\\');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string TopComponent(const std::string& name) { return Lower(name.substr(0, name.find('\\'))); }

bool InDataFolder(const std::string& name) { return TopComponent(name) == Lower(kDataDir); }

// A Data folder, or a copy the user made of one ("Data - 副本", "Data.bak", "Data (2)").
bool DataOrCopy(const InstallFs::Entry& entry) {
  const std::string name = Lower(entry.name);
  const size_t stem = sizeof kDataDir - 1;
  return entry.kind == Kind::kDirectory && name.compare(0, stem, Lower(kDataDir)) == 0 &&
         (name.size() == stem || std::string(" .-_(").find(name[stem]) != std::string::npos);
}

InstallOutcome Failed(InstallOutcome::Reason reason, InstallFs* fs = nullptr) {
  InstallOutcome outcome;
  outcome.reason = reason;
  if (fs) outcome.system_error = fs->LastError();
  return outcome;
}

InstallOutcome FsFailed(InstallFs* fs) { return Failed(InstallOutcome::kFileSystem, fs); }

InstallOutcome ConflictAt(const std::string& name) {
  InstallOutcome outcome = Failed(InstallOutcome::kConflict);
  outcome.where = name;
  return outcome;
}

bool WriteWhole(InstallFs* fs, const std::string& path, const std::string& text) {
  std::unique_ptr<FileWriter> file = fs->Create(path);
  return file && file->Write(text.data(), text.size()) && file->Finish();
}

// The folders leading to `name`, outermost first ("a\\b\\c.txt": "a", "a\\b").
std::vector<std::string> FoldersLeadingTo(const std::string& name) {
  std::vector<std::string> folders;
  for (size_t slash = name.find('\\'); slash != std::string::npos; slash = name.find('\\', slash + 1))
    folders.push_back(name.substr(0, slash));
  return folders;
}

// What stands at `name`, reached through real folders only: a link on the way leads
// somewhere else, whose files are not ours (kLink then).
Kind ProbeInPlace(InstallFs* fs, const std::string& name) {
  for (const std::string& folder : FoldersLeadingTo(name)) {
    const Kind kind = fs->Probe(folder);
    if (kind == Kind::kMissing || kind == Kind::kUnknown) return kind;
    if (kind != Kind::kDirectory) return Kind::kLink;
  }
  return fs->Probe(name);
}

// The ledger's folders that are left empty, innermost first.
void RemoveListedFolders(InstallFs* fs, const std::vector<std::string>& dirs) {
  for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir)
    if (ProbeInPlace(fs, *dir) == Kind::kDirectory) fs->RemoveDir(*dir);
}

// Makes the folders leading to `name` (not `name` itself). False when one cannot be made or
// something other than a folder stands in its place: the attempt to make it there says so
// with the system's error, for the outcome to carry.
bool MakeParents(InstallFs* fs, const std::string& name) {
  for (const std::string& folder : FoldersLeadingTo(name)) {
    const Kind kind = fs->Probe(folder);
    if (kind == Kind::kUnknown || (kind != Kind::kDirectory && !fs->MakeDir(folder))) return false;
  }
  return true;
}

// Whether a folder's entries hold our own names: it is an installation, or what an uninstall
// of one kept.
bool HoldsOurNames(const std::vector<InstallFs::Entry>& entries) {
  return std::any_of(entries.begin(), entries.end(),
                     [](const InstallFs::Entry& entry) { return IsReservedName(entry.name); });
}

// What RemoveTree removes: a folder of the installer's own, or a profile (Data). From a
// profile, the rest stays after a failure (a program holding one file of it likely holds
// more, and each would be waited for), and a folder holding our own names is another
// installation, one the user picked a folder in here for: it is left alone.
enum class Tree { kOurs, kProfile };

// Removes a folder with everything in it but links and names no path reaches: those are
// left alone, never entered, and the folders holding them stay. False when anything else
// could not go (a file in use).
bool RemoveTree(InstallFs* fs, const std::string& dir, Tree tree = Tree::kOurs) {
  if (fs->Probe(dir) != Kind::kDirectory) return fs->Probe(dir) == Kind::kMissing;
  std::vector<InstallFs::Entry> entries;
  bool all = fs->List(dir, &entries);
  if (tree == Tree::kProfile && HoldsOurNames(entries)) return all;
  bool left_alone = false;
  for (const InstallFs::Entry& entry : entries) {
    const std::string path = Join(dir, entry.name);
    if (entry.kind == Kind::kFile) {
      all = fs->RemoveFile(path) && all;
    } else if (entry.kind == Kind::kDirectory) {
      all = RemoveTree(fs, path, tree) && all;
      left_alone = left_alone || fs->Probe(path) != Kind::kMissing;
    } else {
      left_alone = true;
    }
    if (!all && tree == Tree::kProfile) return false;
  }
  return all && (left_alone || fs->RemoveDir(dir));
}

// Removes the empty folders below `dir`, and `dir` if it ends empty. A `dir` that is a link
// (one of our names, planted) is not followed.
void RemoveEmptyFolders(InstallFs* fs, const std::string& dir) {
  std::vector<InstallFs::Entry> entries;
  if (fs->Probe(dir) != Kind::kDirectory || !fs->List(dir, &entries)) return;
  for (const InstallFs::Entry& entry : entries)
    if (entry.kind == Kind::kDirectory) RemoveEmptyFolders(fs, Join(dir, entry.name));
  fs->RemoveDir(dir);
}

// Files an older setup program put in the folder: everything but our own names, whatever
// lies behind a link and names no packet carries, and every Data folder or copy of one, at
// any depth: they hold someone's profiles. A folder below holding our own names is another
// installation, or what an uninstall of one kept (the user picked a folder in here to
// install into): none of it is listed, and false says so. Folders come before what they
// hold.
bool ListUnlisted(InstallFs* fs, const std::string& dir, std::vector<std::string>* files,
                  std::vector<std::string>* dirs) {
  std::vector<InstallFs::Entry> entries;
  if (!fs->List(dir, &entries)) return true;
  if (!dir.empty() && HoldsOurNames(entries)) return false;
  for (const InstallFs::Entry& entry : entries) {
    const std::string path = Join(dir, entry.name);
    if (!entry.packable || IsReservedName(entry.name) || DataOrCopy(entry)) continue;
    if (entry.kind == Kind::kFile) files->push_back(path);
    if (entry.kind == Kind::kDirectory) {
      dirs->push_back(path);
      if (!ListUnlisted(fs, path, files, dirs)) dirs->pop_back();
    }
  }
  return true;
}

// The install directory's Data folders, in whatever letter case they are spelled; false
// when the directory could not be listed whole.
bool DataFolders(InstallFs* fs, std::vector<std::string>* folders) {
  std::vector<InstallFs::Entry> entries;
  const bool listed = fs->List("", &entries);
  for (const InstallFs::Entry& entry : entries)
    if (entry.kind == Kind::kDirectory && InDataFolder(entry.name)) folders->push_back(entry.name);
  return listed;
}

// Whether every entry of `entries` (of folder `dir`) is a folder that is an installation or
// holds nothing but folders leading to installations; false for none.
bool AllLeadToInstallations(InstallFs* fs, const std::string& dir, const std::vector<InstallFs::Entry>& entries) {
  return !entries.empty() && std::all_of(entries.begin(), entries.end(), [&](const InstallFs::Entry& entry) {
           std::vector<InstallFs::Entry> inside;
           const std::string path = Join(dir, entry.name);
           return entry.kind == Kind::kDirectory && fs->List(path, &inside) &&
                  (HoldsOurNames(inside) || AllLeadToInstallations(fs, path, inside));
         });
}

// What an uninstall's mark says: Data there is the browser's (what uninstalls always wrote
// for a Data they kept), or only that the folder is no older setup program's.
constexpr char kKeptDataMark[] = "";
constexpr char kLeftFilesMark[] = "left by an uninstall";

// Removes the link itself (to a file, or to a folder: a junction), never what it leads to.
void RemoveLink(InstallFs* fs, const char* name) {
  if (!fs->RemoveFile(name)) fs->RemoveDir(name);
}

// Writes the folder's mark. One cut short is removed again (an empty one would read as a
// kept Data's); the failure reported is the write's.
InstallOutcome WriteMark(InstallFs* fs, const char* mark) {
  // A link at the mark's name goes first: the mark is written in its place, not through it.
  if (fs->Probe(kDataMarker) == Kind::kLink) RemoveLink(fs, kDataMarker);
  if (WriteWhole(fs, kDataMarker, mark)) return InstallOutcome();
  const InstallOutcome failed = FsFailed(fs);
  fs->RemoveFile(kDataMarker);
  return failed;
}

bool MarkedKeptData(InstallFs* fs) {
  std::string mark;
  return fs->Probe(kDataMarker) == Kind::kFile && fs->ReadAll(kDataMarker, &mark) && mark == kKeptDataMark;
}

// Whether `dir` holds a file or link, in it or in a folder below, outside the transaction's
// own names and the files `ours` (lower-case); a listing that failed may. Empty folders hold
// nothing.
bool HoldsFilesOfOthers(InstallFs* fs, const std::string& dir = "", const std::set<std::string>& ours = {}) {
  std::vector<InstallFs::Entry> entries;
  if (!fs->List(dir, &entries)) return true;
  return std::any_of(entries.begin(), entries.end(), [&](const InstallFs::Entry& entry) {
    if (dir.empty() && IsReservedName(entry.name)) return false;
    const std::string path = Join(dir, entry.name);
    if (entry.kind == Kind::kDirectory) return HoldsFilesOfOthers(fs, path, ours);
    return entry.kind != Kind::kFile || !ours.count(Lower(path));
  });
}

// Whether folder `dir` and every folder below it are ours (`our_dirs`, lower-case) and hold
// nothing but files of ours (`ours`), which it adds to `files`; a listing that failed may
// hold anything.
bool HoldsOnlyOurs(InstallFs* fs, const std::string& dir, const std::set<std::string>& our_dirs,
                   const std::map<std::string, std::string>& ours, std::vector<std::string>* files) {
  std::vector<InstallFs::Entry> entries;
  if (!our_dirs.count(Lower(dir)) || !fs->List(dir, &entries)) return false;
  return std::all_of(entries.begin(), entries.end(), [&](const InstallFs::Entry& entry) {
    const std::string path = Join(dir, entry.name);
    if (!entry.packable) return false;
    if (entry.kind == Kind::kDirectory) return HoldsOnlyOurs(fs, path, our_dirs, ours, files);
    if (entry.kind != Kind::kFile || !ours.count(Lower(path))) return false;
    files->push_back(path);
    return true;
  });
}

// Puts the files that installs moved aside below `dir` in kKeptDir, the user's, back where
// they were, each once its place is free and `ledger` (if any) no longer calls that name
// ours; one that cannot go back stays aside.
void PutBackKept(InstallFs* fs, const Ledger* ledger, const std::string& dir = kKeptDir) {
  std::vector<InstallFs::Entry> entries;
  if (fs->Probe(dir) != Kind::kDirectory || !fs->List(dir, &entries)) return;
  for (const InstallFs::Entry& entry : entries) {
    // Only files and folders: anything else (a link, a name the system could not spell)
    // stays where it is.
    const std::string kept = Join(dir, entry.name);
    if (entry.kind == Kind::kDirectory) PutBackKept(fs, ledger, kept);
    if (entry.kind != Kind::kFile) continue;
    // No install sets aside a name of ours (the payload has none): one found there was put
    // there by hand, and putting it "back" among our folders would have it cleared.
    const std::string home = kept.substr(std::strlen(kKeptDir) + 1);
    if (IsReservedName(home) || fs->Probe(home) != Kind::kMissing) continue;
    if (ledger && std::any_of(ledger->files.begin(), ledger->files.end(),
                              [&](const LedgerFile& file) { return Lower(file.name) == Lower(home); }))
      continue;
    if (MakeParents(fs, home)) fs->Move(kept, home);
  }
}

// The earlier installation as its ledger tells it.
struct Earlier {
  bool has_ledger = false;
  std::string text;  // of the ledger
  Ledger ledger;
  std::map<std::string, uint64_t> sizes;  // of its files, by lower-case name
};

// Reads the ledger, if there is one. A ledger is no reason to take our files for someone
// else's, nor the user's for ours: one that cannot be read now, or understood (damaged, or
// another version's), stops the run with nothing touched.
InstallOutcome ReadEarlier(InstallFs* fs, Earlier* earlier) {
  const Kind ledger = fs->Probe(kLedgerName);
  if (ledger == Kind::kMissing) return InstallOutcome();
  if (ledger == Kind::kUnknown) return FsFailed(fs);
  if (ledger != Kind::kFile) return Failed(InstallOutcome::kUnreadableRecord);
  if (!fs->ReadAll(kLedgerName, &earlier->text)) return FsFailed(fs);
  if (!ParseLedger(earlier->text, &earlier->ledger)) return Failed(InstallOutcome::kUnreadableRecord);
  earlier->has_ledger = true;
  for (const LedgerFile& file : earlier->ledger.files) earlier->sizes[Lower(file.name)] = file.size;
  return InstallOutcome();
}

// Whether `text` is the ledger the commit `journal` tells of writes.
bool IsJournalsLedger(const std::string& text, const Journal& journal) {
  return text.size() == journal.ledger_size && Crc32(0, text.data(), text.size()) == journal.ledger_crc;
}

// Whether the commit `journal` tells of holds: the ledger on disk is the one it writes. A
// ledger there but unreadable now (a scanner holding it) decides nothing: the outcome fails.
InstallOutcome ReadCommitted(InstallFs* fs, const Journal& journal, Earlier* on_disk, bool* committed) {
  const InstallOutcome read = ReadEarlier(fs, on_disk);
  *committed = read.ok() && on_disk->has_ledger && IsJournalsLedger(on_disk->text, journal);
  return read;
}

// Writes the staged files as the records come. A file of the earlier installation that the
// payload carries unchanged is compared in place and left there, not written again: a
// re-install of the same payload writes next to nothing, and a file the running browser
// holds stays where it is.
class StagingWriter : public RecordConsumer {
 public:
  StagingWriter(InstallFs* fs, const InstallRules& rules, const Earlier& earlier)
      : fs_(fs), progress_(rules.progress), earlier_(earlier), finisher_(rules.finish_in_background) {}
  void SetTotal(uint64_t total) { total_ = total; }

  bool BeginFile(const char* name, size_t name_size, uint32_t size) override {
    name_.assign(name, name_size);
    if (IsReservedName(name_) || NamesFileAndFolder(Lower(name_))) {
      refused_name_ = true;
      return false;
    }
    crc_ = 0;
    size_ = size;
    compared_ = 0;
    live_.reset();
    // Only a name's first record, and only a file the ledger lists at this size.
    const auto listed = earlier_.sizes.find(Lower(name_));
    if (listed != earlier_.sizes.end() && listed->second == size && !Holds(name_) &&
        fs_->Probe(name_) == Kind::kFile)
      live_ = fs_->Open(name_);
    // The earlier record's copy must be closed before it is written again: Windows refuses
    // a second writer while the finisher still holds it.
    if (Holds(name_) && !finisher_.Wait()) return false;
    return live_ || StartStaging();
  }

  bool Data(const uint8_t* data, size_t size) override {
    crc_ = Crc32(crc_, data, size);
    if (live_ && !LiveHolds(data, size) && !StartStaging()) return false;
    if (!live_ && !file_->Write(data, size)) return false;
    done_ += size;
    if (progress_) progress_(done_, total_);
    return true;
  }

  bool EndFile() override {
    // The live file must end where the record does.
    uint8_t beyond;
    size_t got = 0;
    if (live_ && (!live_->Read(&beyond, 1, &got) || got != 0) && !StartStaging()) return false;
    const bool unchanged = live_ != nullptr;
    live_.reset();
    if (!unchanged && !finisher_.Add(std::move(file_))) return false;
    // A later record of the same name (in any case) writes the same file again.
    const auto known = index_.find(Lower(name_));
    if (known != index_.end()) {
      files_[known->second].size = size_;
      files_[known->second].crc = crc_;
      unchanged_.erase(Lower(name_));
    } else {
      index_[Lower(name_)] = files_.size();
      files_.push_back({name_, size_, crc_});
      if (unchanged) unchanged_.insert(Lower(name_));
    }
    return true;
  }

  // Once the stream is through: a file left open by a record that never ended (the stream
  // broke inside it) is closed, so that staging can be removed (Windows keeps an open
  // file), and the others are finished. False if one of those could not be.
  bool FinishFiles() {
    file_.reset();
    live_.reset();
    return finisher_.Wait();
  }

  const std::vector<LedgerFile>& files() const { return files_; }
  bool Holds(const std::string& name) const { return index_.count(Lower(name)) != 0; }
  // Left in place: the live file is the payload's, byte for byte.
  bool Unchanged(const std::string& name) const { return unchanged_.count(Lower(name)) != 0; }
  bool refused_name() const { return refused_name_; }
  // A folder of the payload's own where it has a file too (in the staging folder), if any.
  const std::string& conflict() const { return conflict_; }

 private:
  // Whether the live file goes on with these bytes. Read a buffer at a time: a piece handed
  // over may be as large as the decode ring, and memory must not grow with it.
  bool LiveHolds(const uint8_t* data, size_t size) {
    if (buffer_.size() < kCopyBytes) buffer_.resize(kCopyBytes);
    for (size_t at = 0; at < size;) {
      const size_t want = std::min(size - at, buffer_.size());
      size_t have = 0, got = 0;
      while (have < want && live_->Read(buffer_.data() + have, want - have, &got) && got > 0) have += got;
      if (have != want || std::memcmp(buffer_.data(), data + at, want) != 0) return false;
      at += want;
    }
    // Counted only when the whole piece matched: a mismatch stages it whole.
    compared_ += size;
    return true;
  }

  // Whether the record's name (lower-case) is a folder of an earlier record's, or one of its
  // folders an earlier record's file: the packet cannot be installed, whatever stands in the
  // directory (a live file taken for unchanged could otherwise go aside for the folder).
  // Notes the record's folders.
  bool NamesFileAndFolder(const std::string& lower) {
    if (folders_.count(lower)) return true;
    for (size_t end = lower.find('\\'); end != std::string::npos; end = lower.find('\\', end + 1)) {
      const std::string folder = lower.substr(0, end);
      if (index_.count(folder)) return true;
      folders_.insert(folder);
    }
    return false;
  }

  // Gives up comparing: the file is staged after all, beginning with the bytes found equal,
  // copied from the live file. Read again from its start by a reader opened before the
  // comparing one lets go: on Windows a reader of ours shuts other writers out, so the
  // running browser cannot change those bytes in between.
  bool StartStaging() {
    std::unique_ptr<FileReader> live = compared_ > 0 ? fs_->Open(name_) : nullptr;
    live_.reset();
    if (compared_ > 0 && !live) return false;
    if (!MakeStagedParents()) return false;
    file_ = fs_->Create(Join(kStagingDir, name_));
    if (!file_) return false;
    if (compared_ == 0) return true;
    if (buffer_.size() < kCopyBytes) buffer_.resize(kCopyBytes);
    for (uint64_t left = compared_; left > 0;) {
      size_t got = 0;
      const size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
      if (!live->Read(buffer_.data(), want, &got) || got == 0 || !file_->Write(buffer_.data(), got)) return false;
      left -= got;
    }
    return true;
  }

  bool MakeStagedParents() {
    const std::string parent = ParentOf(name_);
    if (parent.empty() || made_.count(Lower(parent))) return true;
    const Kind kind = fs_->Probe(Join(kStagingDir, parent));
    // A look that failed is no conflict: its error is the one to report.
    if (kind == Kind::kUnknown) return false;
    if (kind != Kind::kDirectory && kind != Kind::kMissing) conflict_ = Join(kStagingDir, parent);
    if (!conflict_.empty() || !MakeParents(fs_, Join(kStagingDir, name_))) return false;
    made_.insert(Lower(parent));
    return true;
  }

  static constexpr size_t kCopyBytes = size_t{1} << 16;

  InstallFs* fs_;
  const std::function<void(uint64_t, uint64_t)>& progress_;
  const Earlier& earlier_;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
  std::string name_;
  std::unique_ptr<FileWriter> file_;
  std::unique_ptr<FileReader> live_;  // while the record matches the live file
  uint64_t compared_ = 0;
  std::vector<uint8_t> buffer_;
  uint32_t crc_ = 0;
  uint32_t size_ = 0;
  std::vector<LedgerFile> files_;
  std::map<std::string, size_t> index_;
  std::set<std::string> unchanged_;
  std::set<std::string> made_;
  std::set<std::string> folders_;  // of every record so far, lower-case
  FileFinisher finisher_;
  bool refused_name_ = false;
  std::string conflict_;
};

InstallOutcome Stage(InstallFs* fs, const uint8_t* packet, size_t size, const InstallRules& rules,
                     StagingWriter* writer) {
  PacketHeader header;
  const PacketError header_error = ParsePacketHeader(packet, size, &header);
  if (header_error != PacketError::kNone) {
    InstallOutcome outcome = Failed(InstallOutcome::kBadPacket);
    outcome.packet_error = header_error;
    return outcome;
  }
  uint64_t free_bytes = 0;
  if (fs->FreeBytes(&free_bytes) && free_bytes < header.unpacked_size + kSpareBytes)
    return Failed(InstallOutcome::kDiskFull);
  if (!fs->MakeDir(kStagingDir)) return FsFailed(fs);
  writer->SetTotal(header.unpacked_size);
  const PacketError error = StreamPacket(packet, size, writer);
  const bool finished = writer->FinishFiles();
  if (error == PacketError::kConsumerFailed) {
    if (!writer->conflict().empty()) return ConflictAt(writer->conflict());
    if (!writer->refused_name()) return FsFailed(fs);
  }
  if (error != PacketError::kNone) {
    InstallOutcome outcome = Failed(InstallOutcome::kBadPacket);
    outcome.packet_error = error == PacketError::kConsumerFailed ? PacketError::kBadName : error;
    return outcome;
  }
  if (!finished) return FsFailed(fs);
  for (const std::string& name : rules.required)
    if (!writer->Holds(name)) return Failed(InstallOutcome::kMissingFile);
  // The records' own bytes (names, sizes) were never counted as staged.
  if (rules.progress) rules.progress(header.unpacked_size, header.unpacked_size);
  return InstallOutcome();
}

// A free place for the earlier file of `name` in `dir`: the same name, or one with a number
// behind it when a copy from an earlier install, still in use, holds that one. With none
// free, the error of a look that failed on the way, or else a conflict.
InstallOutcome AsideName(InstallFs* fs, const char* dir, const std::string& name, std::set<std::string>* taken,
                         std::string* aside) {
  InstallOutcome none = ConflictAt(Join(dir, name));
  for (int n = 0; n < kMaxAsideTries; ++n) {
    std::string candidate = Join(dir, name);
    if (n > 0) candidate += "." + std::to_string(n);
    const Kind kind = taken->count(Lower(candidate)) ? Kind::kFile : fs->Probe(candidate);
    if (kind == Kind::kUnknown && none.reason == InstallOutcome::kConflict) none = FsFailed(fs);
    if (kind == Kind::kMissing) {
      taken->insert(Lower(candidate));
      *aside = candidate;
      return InstallOutcome();
    }
  }
  return none;
}

// Takes back into staging the files of `folder`, which a commit moved in whole, that came
// with it: those the ledger it was to write (`pending`) lists. Whatever the browser or the
// user put there since stays. False when something stood in the way.
bool TakeBackFolder(InstallFs* fs, const std::string& folder, const Ledger& pending) {
  bool ok = true;
  const std::string prefix = Lower(folder) + "\\";
  for (const LedgerFile& file : pending.files) {
    if (Lower(file.name).compare(0, prefix.size(), prefix) != 0) continue;
    const std::string staged = Join(kStagingDir, file.name);
    const Kind live = ProbeInPlace(fs, file.name);
    const Kind copy = live == Kind::kFile ? ProbeInPlace(fs, staged) : Kind::kMissing;
    if (live == Kind::kUnknown || copy == Kind::kUnknown || copy == Kind::kLink)
      ok = false;
    else if (live == Kind::kFile && copy == Kind::kMissing)
      ok = MakeParents(fs, staged) && fs->Move(file.name, staged) && ok;
  }
  return ok;
}

// Puts every earlier file back where the journal's moves took it from; the staged copies
// go back to staging, and the folders the commit made go once empty. Each move is looked at
// on the disk, through real folders only (a journal's names must not lead through a link
// to another's files), so running it again after an interruption is safe. True when all is
// back: only then go the journal and staging.
InstallOutcome RollBack(InstallFs* fs, const Journal& journal) {
  InstallOutcome outcome;
  auto note = [&](bool ok) {
    if (!ok && outcome.ok()) outcome = FsFailed(fs);
  };
  // A journal drops a name at most once.
  std::map<std::string, std::string> dropped_to;  // lower-case name -> where its drop set it aside
  for (const JournalMove& move : journal.moves)
    if (move.kind == JournalMove::kDrop) dropped_to[Lower(move.name)] = move.aside;
  // The ledger the commit was to write, which a journal of this version has beside it. (An
  // earlier version wrote it only after its moves: without it, a folder that moved in
  // whole goes back whole.) One there but not readable now answers nothing.
  Ledger pending;
  const Kind pending_kind = fs->Probe(kPendingLedgerName);
  std::string pending_text;
  const bool pending_read = pending_kind == Kind::kFile && fs->ReadAll(kPendingLedgerName, &pending_text);
  const bool pending_unseen = pending_kind == Kind::kUnknown || (pending_kind == Kind::kFile && !pending_read);
  const bool knows_pending = pending_read && IsJournalsLedger(pending_text, journal);
  // Whole, but not ours to read: another version's commit, whose folders moved in whole
  // may hold files put there since, which only its ledger tells apart.
  if (knows_pending && !ParseLedger(pending_text, &pending)) return Failed(InstallOutcome::kUnreadableRecord);
  // The earlier files aside go back once everything the commit brought is out of their way.
  std::vector<const JournalMove*> put_back;
  for (auto move = journal.moves.rbegin(); move != journal.moves.rend(); ++move) {
    const std::string staged = Join(kStagingDir, move->name);
    const bool adds = move->kind == JournalMove::kAdd;
    const Kind aside = adds ? Kind::kMissing : ProbeInPlace(fs, move->aside);
    // A file aside, or a folder of ours that a file replaced. Anything else there is no
    // answer to go by (a look that failed, a link of nobody's): taken for nothing, the copy
    // would go with the old folder. The journal and the copies stay.
    const bool set_aside = aside == Kind::kFile || (move->kind == JournalMove::kDrop && aside == Kind::kDirectory);
    if (!set_aside && aside != Kind::kMissing) {
      note(false);
      continue;
    }
    // The commit brought its file in when one stands at the name and, where it took an
    // earlier file's place, that file is aside. Otherwise what stands there is the earlier
    // file or the user's, even with its staged copy gone. An add takes the place of what
    // a drop before it set aside (a file of ours that became a folder, or the other way),
    // which must be aside too.
    const auto drop = adds ? dropped_to.find(Lower(move->name)) : dropped_to.end();
    const Kind displaced = drop != dropped_to.end() ? ProbeInPlace(fs, drop->second) : Kind::kFile;
    const Kind live = ProbeInPlace(fs, move->name);
    // An add has no copy aside whose look would stop the rollback: one of its own looks
    // that fails does, or the new file would stay in the earlier installation.
    if (adds && (live == Kind::kUnknown || displaced == Kind::kUnknown)) {
      note(false);
      continue;
    }
    const bool displaced_aside = displaced == Kind::kFile || displaced == Kind::kDirectory;
    const bool brought = adds ? (live == Kind::kFile || live == Kind::kDirectory) && displaced_aside
                              : live == Kind::kFile && aside == Kind::kFile;
    if (adds && brought && live == Kind::kDirectory && (knows_pending || pending_unseen)) {
      note(!pending_unseen && TakeBackFolder(fs, move->name, pending));
      continue;
    }
    const Kind staged_kind = move->kind != JournalMove::kDrop && brought ? ProbeInPlace(fs, staged) : Kind::kFile;
    if (staged_kind == Kind::kUnknown || staged_kind == Kind::kLink) {
      note(false);
      continue;
    }
    if (staged_kind == Kind::kMissing) note(MakeParents(fs, staged) && fs->Move(move->name, staged));
    if (set_aside) put_back.push_back(&*move);
  }
  RemoveListedFolders(fs, journal.made_dirs);
  // An earlier file aside must go back, into its folder even if that went meanwhile: with
  // its place taken (by no commit of ours, or by a folder of the commit's that now holds
  // someone's files), the journal and the copy stay for whoever sorts it out.
  for (const JournalMove* move : put_back)
    note(ProbeInPlace(fs, move->name) == Kind::kMissing && MakeParents(fs, move->name) &&
         fs->Move(move->aside, move->name));
  if (!outcome.ok()) return outcome;
  // The journal goes first: with it gone, nothing reads the staged copies as new files
  // any more, so what is left of staging can go even if this is cut short.
  if (!fs->RemoveFile(kJournalName)) return FsFailed(fs);
  RemoveTree(fs, kStagingDir);
  RemoveEmptyFolders(fs, kAsideDir);
  RemoveEmptyFolders(fs, kKeptDir);
  return outcome;
}

// After the ledger is in: our replaced files go (those in use stay for a later run), and
// folders of the earlier installation that nothing is left in. True once the journal is
// gone: a journal that stays would be read again by every later recovery, even after an
// uninstall has taken the ledger away, and taken for a commit to roll back.
bool FinishCommit(InstallFs* fs, const Ledger& ledger) {
  // The ledger tells whose Data is there now.
  if (fs->Probe(kDataMarker) == Kind::kFile) fs->RemoveFile(kDataMarker);
  RemoveTree(fs, kAsideDir);
  RemoveTree(fs, kStagingDir);
  // A file of the user's that a payload file displaced comes back once no payload carries
  // its name any more.
  PutBackKept(fs, &ledger);
  RemoveEmptyFolders(fs, kKeptDir);
  RemoveListedFolders(fs, ledger.dirs);
  return fs->Probe(kJournalName) == Kind::kMissing || fs->RemoveFile(kJournalName);
}

InstallOutcome Commit(InstallFs* fs, const StagingWriter& staged, const InstallRules& rules, const Earlier& earlier) {
  std::map<std::string, std::string> ours;  // lower-case name -> name, of our earlier files
  std::vector<std::string> our_dirs;
  // Without a ledger, an older setup program's installation is there only with its main
  // program: what a folder without one holds was left when that program went, and is the
  // user's now.
  if (earlier.has_ledger) {
    for (const LedgerFile& file : earlier.ledger.files) ours[Lower(file.name)] = file.name;
    our_dirs = earlier.ledger.dirs;
  } else if (rules.adopt_unlisted && fs->Probe(kDataMarker) == Kind::kMissing &&
             std::all_of(rules.required.begin(), rules.required.end(),
                         [&](const std::string& name) { return ProbeInPlace(fs, name) == Kind::kFile; })) {
    std::vector<std::string> files;
    ListUnlisted(fs, "", &files, &our_dirs);
    for (const std::string& file : files) ours[Lower(file)] = file;
  }

  // A folder the installation lacks moves in from staging whole, with all it holds, in one
  // step: its files need no moves of their own.
  Journal journal;
  std::map<std::string, bool> known_dirs;  // lower-case name -> brought in by the commit
  std::set<std::string> taken;
  std::set<std::string> dropped;  // lower-case names of our files that go aside with their folder or for one
  std::vector<std::string> gone_dirs;  // folders of ours that files replace
  std::set<std::string> our_dir_set;  // lower-case
  for (const std::string& dir : our_dirs) our_dir_set.insert(Lower(dir));
  for (const LedgerFile& file : staged.files()) {
    bool in_new_folder = false;
    bool blocked_in_data = false;
    for (const std::string& folder : FoldersLeadingTo(file.name)) {
      const auto known = known_dirs.find(Lower(folder));
      if (known != known_dirs.end()) {
        in_new_folder = in_new_folder || known->second;
        continue;
      }
      Kind kind = in_new_folder ? Kind::kMissing : fs->Probe(folder);
      // A file of ours where the payload now has a folder goes aside first, like any file
      // the payload no longer carries.
      if (kind == Kind::kFile && ours.count(Lower(folder)) && !InDataFolder(folder)) {
        JournalMove drop;
        drop.kind = JournalMove::kDrop;
        drop.name = folder;
        const InstallOutcome aside = AsideName(fs, kAsideDir, folder, &taken, &drop.aside);
        if (!aside.ok()) return aside;
        journal.moves.push_back(drop);
        dropped.insert(Lower(folder));
        kind = Kind::kMissing;
      }
      if (kind == Kind::kUnknown) return FsFailed(fs);
      if (kind != Kind::kMissing && kind != Kind::kDirectory) {
        // Data is the browser's and the user's: where something else stands on the way to a
        // file of it (the profile moved to another drive and linked back, say), the
        // payload's copy stays out, as it does where a file of Data stands.
        if (!InDataFolder(folder)) return ConflictAt(folder);
        blocked_in_data = true;
        break;
      }
      known_dirs[Lower(folder)] = kind == Kind::kMissing;
      if (kind != Kind::kMissing) continue;
      journal.made_dirs.push_back(folder);
      if (!in_new_folder) journal.moves.push_back({JournalMove::kAdd, folder, ""});
      in_new_folder = true;
    }
    if (in_new_folder || blocked_in_data) continue;
    Kind kind = fs->Probe(file.name);
    if (kind == Kind::kUnknown) return FsFailed(fs);
    // A file of Data that is there already is the browser's, or the user's, whatever it
    // holds now: the payload's copy never takes its place.
    if (InDataFolder(file.name) && kind != Kind::kMissing) continue;
    // A folder of ours where the payload now has a file goes aside whole, with the files of
    // ours in it; one holding anything else stays, and the file cannot come.
    std::vector<std::string> inside;
    if (kind == Kind::kDirectory && HoldsOnlyOurs(fs, file.name, our_dir_set, ours, &inside)) {
      JournalMove drop;
      drop.kind = JournalMove::kDrop;
      drop.name = file.name;
      const InstallOutcome aside = AsideName(fs, kAsideDir, file.name, &taken, &drop.aside);
      if (!aside.ok()) return aside;
      journal.moves.push_back(drop);
      for (const std::string& name : inside) dropped.insert(Lower(name));
      gone_dirs.push_back(file.name);
      kind = Kind::kMissing;
    }
    if (staged.Unchanged(file.name)) {
      if (kind != Kind::kFile) return ConflictAt(file.name);
      continue;
    }
    JournalMove move;
    move.name = file.name;
    if (kind == Kind::kFile) {
      const bool our_file = ours.count(Lower(file.name)) != 0;
      move.kind = our_file ? JournalMove::kReplace : JournalMove::kKeep;
      const InstallOutcome aside = AsideName(fs, our_file ? kAsideDir : kKeptDir, file.name, &taken, &move.aside);
      if (!aside.ok()) return aside;
    } else if (kind != Kind::kMissing) {
      return ConflictAt(file.name);
    }
    journal.moves.push_back(move);
  }
  for (const auto& [key, name] : ours) {
    // A file of Data the payload no longer carries is the browser's now, maybe changed.
    if (staged.Holds(name) || dropped.count(key) || InDataFolder(name)) continue;
    const Kind kind = ProbeInPlace(fs, name);
    // One that could not be looked at may still be there, and would be listed nowhere.
    if (kind == Kind::kUnknown) return FsFailed(fs);
    if (kind != Kind::kFile) continue;
    JournalMove drop;
    drop.kind = JournalMove::kDrop;
    drop.name = name;
    const InstallOutcome aside = AsideName(fs, kAsideDir, name, &taken, &drop.aside);
    if (!aside.ok()) return aside;
    journal.moves.push_back(drop);
  }

  Ledger next;
  // A Data folder already there when the first install came (not into the product's own
  // folder) is the user's: an uninstall never removes it.
  // A folder that could not be listed may hold one.
  const auto user_has_data = [fs] {
    std::vector<std::string> data;
    return (!DataFolders(fs, &data) || !data.empty()) && !MarkedKeptData(fs);
  };
  next.foreign_data = earlier.has_ledger ? earlier.ledger.foreign_data : !rules.adopt_unlisted && user_has_data();
  next.made_levels = earlier.has_ledger && earlier.ledger.made_levels > rules.made_levels ? earlier.ledger.made_levels
                                                                                        : rules.made_levels;
  std::set<std::string> listed;
  for (const std::string& gone : gone_dirs) listed.insert(Lower(gone));
  const auto below_gone = [&](const std::string& dir) {
    return std::any_of(gone_dirs.begin(), gone_dirs.end(), [&](const std::string& gone) {
      return Lower(dir).rfind(Lower(gone) + "\\", 0) == 0;
    });
  };
  for (const std::vector<std::string>* dirs : {&our_dirs, &journal.made_dirs})
    for (const std::string& dir : *dirs)
      if (!below_gone(dir) && listed.insert(Lower(dir)).second) next.dirs.push_back(dir);
  next.files = staged.files();
  next.commit = earlier.has_ledger ? earlier.ledger.commit : 0;
  // Everything already in place, as the ledger says: a repair that finds nothing to mend
  // writes nothing.
  if (journal.moves.empty() && earlier.has_ledger && FormatLedger(next) == earlier.text) {
    FinishCommit(fs, next);
    return InstallOutcome();
  }
  ++next.commit;
  const std::string ledger_text = FormatLedger(next);
  journal.ledger_crc = Crc32(0, ledger_text.data(), ledger_text.size());
  journal.ledger_size = ledger_text.size();

  // From the journal on, every step can be undone by RollBack, here or in the next run. The
  // ledger to be is written first: it tells a rollback which files of a folder that moved
  // in whole came with it.
  if (!WriteWhole(fs, kPendingLedgerName, ledger_text) || !WriteWhole(fs, kJournalName, FormatJournal(journal))) {
    const InstallOutcome failure = FsFailed(fs);
    fs->RemoveFile(kJournalName);
    fs->RemoveFile(kPendingLedgerName);
    return failure;
  }
  bool ok = true;
  for (const JournalMove& move : journal.moves) {
    if (!ok) break;
    if (move.kind != JournalMove::kAdd) ok = MakeParents(fs, move.aside) && fs->Move(move.name, move.aside);
    if (move.kind != JournalMove::kDrop) ok = ok && fs->Move(Join(kStagingDir, move.name), move.name);
  }
  const bool replacing = ok;
  ok = ok && fs->Replace(kPendingLedgerName, kLedgerName);
  if (!ok) {
    const InstallOutcome failure = FsFailed(fs);
    // A replace can take effect and still fail (the flush after it did): the ledger on disk
    // then decides, as in the next run's recovery, and one that cannot be read leaves that
    // to it.
    Earlier on_disk;
    bool committed = false;
    if (replacing && !ReadCommitted(fs, journal, &on_disk, &committed).ok()) return failure;
    // Rolled back only in part, the journal and the ledger it names stay for the next run.
    if (!committed) {
      if (RollBack(fs, journal).ok()) fs->RemoveFile(kPendingLedgerName);
      return failure;
    }
  }
  // The install is in: a journal that stays is finished by the next run's recovery.
  FinishCommit(fs, next);
  return InstallOutcome();
}

// `staging_must_go`: an install's own staging folder comes next, and nothing left there may
// come in with it.
InstallOutcome Recover(InstallFs* fs, bool staging_must_go) {
  const Kind journal_kind = fs->Probe(kJournalName);
  // A journal that cannot be looked at now (a scanner holding it) may be there: what it
  // would roll back needs the copies aside, which must not be cleared as leftovers.
  if (journal_kind == Kind::kUnknown) return FsFailed(fs);
  if (journal_kind != Kind::kMissing && journal_kind != Kind::kFile) return Failed(InstallOutcome::kUnreadableRecord);
  if (journal_kind == Kind::kFile) {
    std::string text;
    if (!fs->ReadAll(kJournalName, &text)) return FsFailed(fs);
    Journal journal;
    if (IsCutShort(text)) {
      // Cut short while it was written: no live file had been moved yet.
      if (!fs->RemoveFile(kJournalName)) return FsFailed(fs);
    } else if (!ParseJournal(text, &journal)) {
      // Whole but not ours to read (another version's, or damaged): what it moved cannot be
      // told, so nothing is touched.
      return Failed(InstallOutcome::kUnreadableRecord);
    } else {
      Earlier on_disk;
      bool committed = false;
      const InstallOutcome read = ReadCommitted(fs, journal, &on_disk, &committed);
      if (!read.ok()) return read;
      if (committed) {
        if (!FinishCommit(fs, on_disk.ledger)) return FsFailed(fs);
      } else {
        const InstallOutcome rolled_back = RollBack(fs, journal);
        if (!rolled_back.ok()) return rolled_back;
      }
    }
  }
  // An uninstall ended after its ledger went, before the files installs had set aside for
  // the user went back: with no installation here any more, they are the user's again. The
  // folder's mark comes first: unmarked, an install into the product's own folder would
  // take them for an older setup program's.
  if (fs->Probe(kLedgerName) == Kind::kMissing && fs->Probe(kKeptDir) == Kind::kDirectory &&
      (fs->Probe(kDataMarker) == Kind::kFile || WriteMark(fs, kLeftFilesMark).ok())) {
    PutBackKept(fs, nullptr);
    RemoveEmptyFolders(fs, kKeptDir);
  }
  // What earlier runs left goes, as far as nothing holds it: staging, copies aside, and an
  // unfinished ledger, or a link at its name, which the next ledger would be refused at.
  RemoveTree(fs, kStagingDir);
  const InstallOutcome staging =
      staging_must_go && fs->Probe(kStagingDir) != Kind::kMissing ? FsFailed(fs) : InstallOutcome();
  RemoveTree(fs, kAsideDir);
  const Kind pending = fs->Probe(kPendingLedgerName);
  if (pending == Kind::kFile) fs->RemoveFile(kPendingLedgerName);
  if (pending == Kind::kLink) RemoveLink(fs, kPendingLedgerName);
  return staging;
}

}  // namespace

bool IsReservedName(const std::string& name) {
  return TopComponent(name).compare(0, sizeof kReservedPrefix - 1, kReservedPrefix) == 0;
}

InstallOutcome ReadLedger(InstallFs* fs, Ledger* ledger) {
  Earlier earlier;
  const InstallOutcome read = ReadEarlier(fs, &earlier);
  if (!read.ok()) return read;
  if (!earlier.has_ledger) return Failed(InstallOutcome::kUnreadableRecord);
  *ledger = std::move(earlier.ledger);
  return read;
}

InstallOutcome RecoverInstall(InstallFs* fs) { return Recover(fs, /*staging_must_go=*/true); }

void TidyLeftFolder(InstallFs* fs) {
  if (fs->Probe(kLedgerName) != Kind::kMissing || fs->Probe(kKeptDir) != Kind::kMissing || HoldsFilesOfOthers(fs))
    return;
  std::vector<InstallFs::Entry> entries;
  fs->List("", &entries);
  for (const InstallFs::Entry& entry : entries)
    if (entry.kind == Kind::kDirectory && !IsReservedName(entry.name)) RemoveEmptyFolders(fs, entry.name);
  if (fs->Probe(kDataMarker) == Kind::kFile) fs->RemoveFile(kDataMarker);
}

InstallOutcome InstallPacket(InstallFs* fs, const uint8_t* packet, size_t size, const InstallRules& rules) {
  InstallOutcome outcome = RecoverInstall(fs);
  if (!outcome.ok()) return outcome;
  Earlier earlier;
  outcome = ReadEarlier(fs, &earlier);
  if (!outcome.ok()) return outcome;
  StagingWriter writer(fs, rules, earlier);
  outcome = Stage(fs, packet, size, rules, &writer);
  if (outcome.ok()) outcome = Commit(fs, writer, rules, earlier);
  // A commit that could not be rolled back keeps its journal, and the next run needs the
  // staged copies to tell new files from earlier ones.
  if (!outcome.ok() && fs->Probe(kJournalName) == Kind::kMissing) RemoveTree(fs, kStagingDir);
  return outcome;
}

bool DataHoldsOnlyInstallations(InstallFs* fs) {
  // A Data that is a link (no folder DataFolders lists) was not entered; one holding our own
  // names itself stayed whole, the profile with it.
  std::vector<std::string> data;
  if (!DataFolders(fs, &data) || data.empty()) return false;
  return std::all_of(data.begin(), data.end(), [fs](const std::string& folder) {
    std::vector<InstallFs::Entry> entries;
    return fs->List(folder, &entries) && AllLeadToInstallations(fs, folder, entries);
  });
}

InstallOutcome UninstallFiles(InstallFs* fs, bool keep_data, uint32_t* made_levels) {
  if (made_levels) *made_levels = 0;
  // A rollback of a commit that brought the running uninstaller's own file takes it back
  // into staging, where it cannot go while it runs. After an update, the finishing copy
  // removes staging once the earlier installation is uninstalled. After a first install or
  // a take-over of an older setup program's files, no installation of ours is left for this
  // call to uninstall: it fails, and the caller tells by what is left whether the rollback
  // took everything away.
  InstallOutcome outcome = Recover(fs, /*staging_must_go=*/false);
  if (!outcome.ok()) return outcome;
  Earlier earlier;
  outcome = ReadEarlier(fs, &earlier);
  if (outcome.ok() && !earlier.has_ledger && fs->Probe(kStagingDir) != Kind::kMissing) return FsFailed(fs);
  if (!outcome.ok() || !earlier.has_ledger) return outcome;
  const Ledger& ledger = earlier.ledger;
  if (made_levels) *made_levels = ledger.made_levels;
  // A file that cannot be looked at (a path grown too long, a name the code page no longer
  // reads) may still be there, and would stay whatever else went: rather than a browser
  // half removed that no run could finish removing, nothing goes, and the ledger stays.
  std::vector<std::string> files;
  for (const LedgerFile& file : ledger.files) {
    if (InDataFolder(file.name)) continue;
    const Kind kind = ProbeInPlace(fs, file.name);
    if (kind == Kind::kUnknown) return FsFailed(fs);
    if (kind == Kind::kFile) files.push_back(file.name);
  }
  // Data first: should a file there not go (another program holding it), the browser is
  // still whole, and runs until the next uninstall finishes.
  if (!ledger.foreign_data && !keep_data) {
    std::vector<std::string> data;
    if (!DataFolders(fs, &data)) return FsFailed(fs);
    for (const std::string& folder : data) {
      if (RemoveTree(fs, folder, Tree::kProfile)) continue;
      InstallOutcome held = FsFailed(fs);
      held.where = folder;
      return held;
    }
  }
  std::vector<std::string> in_use;
  for (const std::string& file : files)
    if (!fs->RemoveFile(file)) in_use.push_back(file);
  // A folder left holding files is marked: nothing there is an older setup program's to
  // clear. Only a Data that an install of ours found absent, and the user kept (or asked to
  // remove, where links and names no path reaches stayed), is vouched for as the browser's:
  // a Data made there later is someone else's. The files in use are ours, still at their
  // names.
  std::vector<std::string> data;
  const bool kept_ours = !ledger.foreign_data && DataFolders(fs, &data) && !data.empty();
  // Without its mark, the ledger stays: an install taking the user's files for an older
  // setup program's would delete them. The files installs set aside count: they go back.
  const bool kept_aside = fs->Probe(kKeptDir) != Kind::kMissing && HoldsFilesOfOthers(fs, kKeptDir);
  std::set<std::string> ours;
  for (const std::string& name : in_use) ours.insert(Lower(name));
  if (kept_ours || kept_aside || HoldsFilesOfOthers(fs, "", ours)) {
    const InstallOutcome marked = WriteMark(fs, kept_ours ? kKeptDataMark : kLeftFilesMark);
    if (!marked.ok()) return marked;
  }
  // Files in use go out of the way, for a later run to remove, only now that all else went:
  // the running uninstaller's own is one, and a run that ends with it aside while the ledger
  // is still there leaves an installation with no uninstaller to remove it. The ledger goes
  // right after them; should it stay, they come back.
  std::vector<std::pair<std::string, std::string>> moved;
  const auto fail_moved_back = [&](const InstallOutcome& failed) {
    for (const auto& [name, aside] : moved) fs->Move(aside, name);
    RemoveEmptyFolders(fs, kAsideDir);
    return failed;
  };
  std::set<std::string> taken;
  for (const std::string& name : in_use) {
    std::string aside;
    if (!AsideName(fs, kAsideDir, name, &taken, &aside).ok() || !MakeParents(fs, aside) || !fs->Move(name, aside))
      return fail_moved_back(FsFailed(fs));
    moved.emplace_back(name, aside);
  }
  if (!fs->RemoveFile(kLedgerName)) return fail_moved_back(FsFailed(fs));
  RemoveListedFolders(fs, ledger.dirs);
  RemoveTree(fs, kAsideDir);
  // Only with the ledger gone: while it lists their names as ours, the next run would
  // remove them.
  if (kept_aside) PutBackKept(fs, nullptr);
  RemoveEmptyFolders(fs, kKeptDir);
  return outcome;
}

}  // namespace kelo
