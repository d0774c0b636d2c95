// Runs the recovery of an unfinished commit, which every install and uninstall begins with,
// on a folder in memory left in any state: a journal (damaged, planted, or of a real
// commit's shape), a ledger that matches it or not, and any mix of files, folders and links
// at the names its moves use and at names of the user's. Part way through, one file
// operation may fail, or the process end, and a second recovery follows. Whatever happens,
// no file outside the names the journal moves and the transaction's own folders is removed
// or changed, nothing is left at a live name that a recovery meeting no failure takes away,
// a recovery that succeeds leaves no journal and no staging, and one run after it changes
// nothing.
//
// Input: two bytes (little-endian) giving the journal's length, the journal, then one byte
// steering the ledger (the one the commit wrote, or only the one it was to write, which
// lists a file "brought" in each folder the commit added whole), one the failing operation (its low six bits; bit 6: the process ends
// there), and then a byte for each name: what stands
// there (0 nothing, 1 a file, 2 a folder, 3 a link); after the journal's names, the user's
// names are spelled by the input itself, "\n" between them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "setup/crc32.h"
#include "setup/install_transaction.h"
#include "setup/ledger.h"

namespace {

using namespace kelo;
using Kind = InstallFs::Kind;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool Below(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path[dir.size()] == '\\' && Lower(path).compare(0, dir.size(), Lower(dir)) == 0;
}

// A folder that compares names as Windows does (ASCII letters in any case); links lead
// nowhere. Operation number `fail_at` (counted from 1) fails; with `ended`, so does every
// one after it, which leaves the folder as the process ending there would.
class MemoryFs : public InstallFs {
 public:
  struct Node {
    std::string name;
    Kind kind;
    std::string bytes;
    bool operator==(const Node& other) const {
      return kind == other.kind && bytes == other.bytes;
    }
  };
  std::map<std::string, Node> nodes;  // by lower-case path
  int fail_at = 0;
  bool ended = false;

  Kind Probe(const std::string& path) override {
    if (Fails()) return Kind::kUnknown;
    return KindOf(path);
  }
  bool MakeDir(const std::string& path) override {
    if (Fails() || KindOf(Parent(path)) != Kind::kDirectory) return false;
    const Kind kind = KindOf(path);
    if (kind == Kind::kMissing) nodes[Lower(path)] = {path, Kind::kDirectory, ""};
    return kind == Kind::kMissing || kind == Kind::kDirectory;
  }
  bool RemoveDir(const std::string& path) override {
    if (Fails() || path.empty() || KindOf(path) != Kind::kDirectory || HasChildren(path)) return false;
    nodes.erase(Lower(path));
    return true;
  }
  bool RemoveFile(const std::string& path) override {
    if (Fails() || KindOf(path) != Kind::kFile) return false;
    nodes.erase(Lower(path));
    return true;
  }
  bool Move(const std::string& from, const std::string& to) override {
    const Kind kind = KindOf(from);
    if (Fails() || from.empty() || kind == Kind::kMissing || KindOf(to) != Kind::kMissing ||
        KindOf(Parent(to)) != Kind::kDirectory || Below(to, from))
      return false;
    std::map<std::string, Node> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
      if (it->first == Lower(from) || Below(it->first, from)) {
        Node node = it->second;
        node.name = to + node.name.substr(from.size());
        moved[Lower(node.name)] = node;
        it = nodes.erase(it);
      } else {
        ++it;
      }
    }
    nodes.insert(moved.begin(), moved.end());
    return true;
  }
  bool Replace(const std::string& from, const std::string& to) override {
    if (Fails() || KindOf(from) != Kind::kFile || (KindOf(to) != Kind::kFile && KindOf(to) != Kind::kMissing) ||
        KindOf(Parent(to)) != Kind::kDirectory)
      return false;
    Node node = nodes[Lower(from)];
    nodes.erase(Lower(from));
    node.name = to;
    nodes[Lower(to)] = node;
    return true;
  }
  std::unique_ptr<FileWriter> Create(const std::string& path) override {
    if (Fails() || KindOf(Parent(path)) != Kind::kDirectory) return nullptr;
    const Kind kind = KindOf(path);
    if (kind != Kind::kMissing && kind != Kind::kFile) return nullptr;
    nodes[Lower(path)] = {path, Kind::kFile, ""};
    return std::make_unique<Writer>(this, Lower(path));
  }
  std::unique_ptr<FileReader> Open(const std::string& path) override {
    if (Fails() || KindOf(path) != Kind::kFile) return nullptr;
    return std::make_unique<Reader>(nodes[Lower(path)].bytes);
  }
  bool List(const std::string& dir, std::vector<Entry>* entries) override {
    entries->clear();
    if (Fails() || KindOf(dir) != Kind::kDirectory) return false;
    for (const auto& [key, node] : nodes)
      if (Parent(node.name).size() == dir.size() && (dir.empty() || Below(key, dir)))
        entries->push_back({node.name.substr(dir.empty() ? 0 : dir.size() + 1), node.kind, true});
    return true;
  }
  bool FreeBytes(uint64_t*) override { return false; }
  uint32_t LastError() const override { return 5; }

  // Makes the folders leading to `path` where nothing stands, then what it is told to;
  // nothing below a file or a link.
  void Plant(const std::string& path, Kind kind) {
    if (kind == Kind::kMissing || KindOf(path) != Kind::kMissing) return;
    for (size_t slash = path.find('\\'); slash != std::string::npos; slash = path.find('\\', slash + 1)) {
      const std::string folder = path.substr(0, slash);
      const Kind there = KindOf(folder);
      if (there == Kind::kMissing) nodes[Lower(folder)] = {folder, Kind::kDirectory, ""};
      else if (there != Kind::kDirectory) return;
    }
    nodes[Lower(path)] = {path, kind, kind == Kind::kFile ? "bytes of " + path : ""};
  }
  // Whether some file, wherever it is now, holds `bytes`: each planted file's are its own.
  bool AnyFileHolds(const std::string& bytes) const {
    for (const auto& entry : nodes)
      if (entry.second.kind == Kind::kFile && entry.second.bytes == bytes) return true;
    return false;
  }

 private:
  class Writer : public FileWriter {
   public:
    Writer(MemoryFs* fs, std::string key) : fs_(fs), key_(std::move(key)) {}
    bool Write(const void* data, size_t size) override {
      if (fs_->Fails() || !fs_->nodes.count(key_)) return false;
      fs_->nodes[key_].bytes.append(static_cast<const char*>(data), size);
      return true;
    }
    bool Finish() override { return !fs_->Fails(); }

   private:
    MemoryFs* fs_;
    std::string key_;
  };
  class Reader : public FileReader {
   public:
    explicit Reader(std::string bytes) : bytes_(std::move(bytes)) {}
    bool Read(void* data, size_t size, size_t* got) override {
      *got = std::min(size, bytes_.size() - at_);
      bytes_.copy(static_cast<char*>(data), *got, at_);
      at_ += *got;
      return true;
    }

   private:
    std::string bytes_;
    size_t at_ = 0;
  };

  bool Fails() {
    ++operations_;
    return fail_at > 0 && (ended ? operations_ >= fail_at : operations_ == fail_at);
  }
  // Through real folders only: below a file, a link or nothing, nothing is.
  Kind KindOf(const std::string& path) const {
    if (path.empty()) return Kind::kDirectory;
    const auto found = nodes.find(Lower(path));
    if (found == nodes.end()) return Kind::kMissing;
    return KindOf(Parent(path)) == Kind::kDirectory ? found->second.kind : Kind::kMissing;
  }
  bool HasChildren(const std::string& dir) const {
    for (const auto& entry : nodes)
      if (Below(entry.first, dir)) return true;
    return false;
  }
  int operations_ = 0;
};

// Files, folders and links the recovery must leave as they are: all but those at or below
// a name the journal moves, and those in the transaction's own folders (and files). In a
// folder the commit added whole, where the ledger it was to write is known (`brought`: its
// files, lower-case), only those files may go: the rest was put there since.
std::map<std::string, MemoryFs::Node> Untouchable(const MemoryFs& fs, const Journal& journal,
                                                  const std::set<std::string>* brought) {
  std::map<std::string, MemoryFs::Node> kept;
  for (const auto& [key, node] : fs.nodes) {
    if (IsReservedName(key)) continue;
    bool moved = false;
    for (const JournalMove& move : journal.moves)
      moved = moved || Lower(move.name) == key ||
              (Below(key, move.name) && (move.kind != JournalMove::kAdd || !brought || brought->count(key)));
    // An empty folder may go: the recovery removes the folders a commit made once empty.
    if (!moved && node.kind != Kind::kDirectory) kept[key] = node;
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t journal_size = std::min<size_t>(data[0] | data[1] << 8, size - 4);
  std::string journal_text(reinterpret_cast<const char*>(data) + 2, journal_size);
  const uint8_t* steer = data + 2 + journal_size;
  const uint8_t* end = data + size;
  const uint8_t ledger_choice = *steer++;
  MemoryFs fs;
  fs.fail_at = *steer % 64;
  fs.ended = *steer++ & 64;

  Journal journal;
  const bool parsed = ParseJournal(journal_text, &journal);
  std::vector<std::string> names;
  std::set<std::string> brought;  // lower-case: the files of the ledger the commit was to write
  bool brought_known = false;
  if (parsed) {
    // A ledger as the commit meant to write it, which the journal then names: written, the
    // commit holds; only beside the journal, it tells what came with each folder the commit
    // added whole.
    Ledger ledger;
    ledger.dirs = journal.made_dirs;
    for (const JournalMove& move : journal.moves) {
      if (move.kind != JournalMove::kDrop) ledger.files.push_back({move.name, 0, 0});
      if (move.kind == JournalMove::kAdd) ledger.files.push_back({move.name + "\\brought", 0, 0});
    }
    const std::string ledger_text = FormatLedger(ledger);
    const bool pending = ledger_choice % 3 == 0 && (ledger_choice / 3) % 2;
    if (ledger_choice % 3 == 1 || pending) {
      journal.ledger_crc = Crc32(0, ledger_text.data(), ledger_text.size());
      journal.ledger_size = ledger_text.size();
      journal_text = FormatJournal(journal);
      const char* name = pending ? kPendingLedgerName : kLedgerName;
      fs.Plant(name, Kind::kFile);
      fs.nodes[Lower(name)].bytes = ledger_text;
    }
    Ledger read_back;
    brought_known = pending && ParseLedger(ledger_text, &read_back);
    for (const LedgerFile& file : read_back.files) brought.insert(Lower(file.name));
    for (const std::string& dir : journal.made_dirs) names.push_back(dir);
    for (const JournalMove& move : journal.moves) {
      names.push_back(move.name);
      names.push_back(std::string(kStagingDir) + "\\" + move.name);
      if (!move.aside.empty()) names.push_back(move.aside);
      if (move.kind == JournalMove::kAdd) names.push_back(move.name + "\\brought");
    }
  }
  if (ledger_choice % 3 == 2) fs.Plant(kLedgerName, Kind::kFile);
  fs.Plant(kJournalName, Kind::kFile);
  fs.nodes[Lower(kJournalName)].bytes = journal_text;

  const Kind kinds[] = {Kind::kMissing, Kind::kFile, Kind::kDirectory, Kind::kLink};
  for (const std::string& name : names) {
    if (steer == end) break;
    fs.Plant(name, kinds[*steer++ % 4]);
  }
  // The user's names, spelled by the rest of the input.
  std::string name;
  for (; steer <= end; ++steer) {
    if (steer == end || *steer == '\n') {
      if (!name.empty() && name.back() != '\\' && name.find("\\\\") == std::string::npos && name[0] != '\\')
        fs.Plant(name, Kind::kFile);
      name.clear();
      if (steer == end) break;
    } else {
      name += static_cast<char>(*steer == '/' ? '\\' : *steer);
    }
  }

  const auto untouchable = Untouchable(fs, journal, brought_known ? &brought : nullptr);
  // No commit sets aside a name in a folder it adds whole, since only a folder that was not
  // there is added whole: what a journal says of such a name is none a commit writes, and
  // what lies in the added folder came with the commit.
  const auto in_added_folder = [&](const std::string& key) {
    return std::any_of(journal.moves.begin(), journal.moves.end(), [&](const JournalMove& move) {
      return move.kind == JournalMove::kAdd && Below(key, move.name);
    });
  };
  // Bytes that must survive, wherever they end: the user's files set aside by installs, and,
  // unless the commit holds, the earlier files its moves set aside, which go back.
  std::vector<std::string> lasting;
  const bool committed = parsed && ledger_choice % 3 == 1;
  for (const auto& [key, node] : fs.nodes) {
    bool aside_of_move = false, unwritten = false;
    for (const JournalMove& move : journal.moves) {
      if (move.aside.empty() || Lower(move.aside) != key) continue;
      aside_of_move = true;
      unwritten = unwritten || in_added_folder(Lower(move.name));
    }
    const bool kept = key.rfind(Lower(kKeptDir) + "\\", 0) == 0;
    if (node.kind == Kind::kFile && !unwritten && (kept || (aside_of_move && !committed)))
      lasting.push_back(node.bytes);
  }
  // What stands at a name whose earlier file (or folder) a commit sets aside, with nothing
  // aside, is nothing the commit brought: it is the earlier one, or the user's, and so is
  // all it holds (but for what lies in a folder the commit adds whole).
  for (const JournalMove& move : journal.moves) {
    if (move.kind == JournalMove::kAdd) continue;
    const auto aside = fs.nodes.find(Lower(move.aside));
    if (aside != fs.nodes.end() && aside->second.kind != Kind::kLink) continue;
    for (const auto& [key, node] : fs.nodes)
      if (node.kind == Kind::kFile && (key == Lower(move.name) || Below(key, move.name)) && !in_added_folder(key))
        lasting.push_back(node.bytes);
  }
  // What a recovery that meets no failure makes of the same folder.
  MemoryFs unfailing = fs;
  unfailing.fail_at = 0;
  RecoverInstall(&unfailing);
  RecoverInstall(&fs);
  fs.fail_at = 0;
  fs.ended = false;
  const bool recovered = RecoverInstall(&fs).ok();
  // A failure on the way, or the process ending, may leave work for a later run (a user's
  // file still aside, an empty folder), but nothing at a live name that a recovery meeting
  // no failure takes away: one that took a failed look for an answer would.
  if (recovered && RecoverInstall(&unfailing).ok()) {
    for (const auto& [key, node] : fs.nodes) {
      if (node.kind == Kind::kDirectory || IsReservedName(node.name)) continue;
      const auto clean = unfailing.nodes.find(key);
      Check(clean != unfailing.nodes.end() && clean->second == node);
    }
  }
  for (const auto& [key, node] : untouchable) {
    const auto after = fs.nodes.find(key);
    Check(after != fs.nodes.end() && after->second == node);
  }
  for (const std::string& bytes : lasting) Check(fs.AnyFileHolds(bytes));
  if (recovered) {
    Check(fs.Probe(kJournalName) == Kind::kMissing && fs.Probe(kStagingDir) == Kind::kMissing);
    const auto settled = fs.nodes;
    Check(RecoverInstall(&fs).ok());
    Check(fs.nodes.size() == settled.size());
    for (const auto& [key, node] : settled) Check(fs.nodes.count(key) && fs.nodes.at(key) == node);
  }
  return 0;
}
