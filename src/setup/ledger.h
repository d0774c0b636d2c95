#pragma once
// The install ledger, a text file in the install directory that records what the install
// put there, and the journal that a commit writes before it touches a live file. Names
// are packet names: "\"-separated, no control characters, so a tab can part the fields.
#include <cstdint>
#include <string>
#include <vector>

namespace kelo {

struct LedgerFile {
  std::string name;
  uint64_t size = 0;
  uint32_t crc = 0;
};

// The most folder levels a ledger records as made: no install directory has more.
inline constexpr uint32_t kMaxMadeLevels = 255;

struct Ledger {
  // Counts the commits into the folder. Each commit's ledger differs from the one it
  // replaces, even when the files are the same (a repair): the journal's ledger check can
  // then tell a finished commit from one cut short.
  uint64_t commit = 0;
  // A Data folder was there before the first install: the user's, never removed.
  bool foreign_data = false;
  // How many folder levels, the install directory and its parents, the install made: an
  // uninstall removes that many once they are empty.
  uint32_t made_levels = 0;
  std::vector<std::string> dirs;  // folders the installs made, parents before children
  std::vector<LedgerFile> files;
};

std::string FormatLedger(const Ledger& ledger);
// False for anything but a whole ledger of this format.
bool ParseLedger(const std::string& text, Ledger* ledger);

// One move of a commit, in the order the commit makes them.
struct JournalMove {
  enum Kind : char {
    kAdd = 'n',      // a new file, or a new folder with all it holds, where there was none
    kReplace = 'o',  // a new file over one of ours, which goes aside into the old folder
    kKeep = 'k',     // a new file over one that is not ours, which goes into the kept folder
    kDrop = 'd',     // one of ours the new payload no longer carries: aside into the old folder
  };
  Kind kind = kAdd;
  std::string name;
  std::string aside;  // where the earlier file goes; empty for kAdd
};

struct Journal {
  uint32_t ledger_crc = 0;  // of the new ledger's text: once it is on disk, the commit holds
  uint64_t ledger_size = 0;
  std::vector<std::string> made_dirs;  // folders the commit brings in, parents first
  std::vector<JournalMove> moves;
};

std::string FormatJournal(const Journal& journal);
// False for a journal cut short (the commit had not begun its moves) or of another format.
bool ParseJournal(const std::string& text, Journal* journal);
// Whether a ledger's or journal's text was cut short while it was written (a crash): it has
// no whole last line saying how many lines come before it, and no whole first line that is
// another version's heading.
bool IsCutShort(const std::string& text);

}  // namespace kelo
