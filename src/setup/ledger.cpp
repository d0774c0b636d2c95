#include "setup/ledger.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "setup/install_transaction.h"
#include "setup/packet.h"

namespace kelo {

namespace {

constexpr char kHeadingStem[] = "KeloSetup ";  // every version's headings begin so
constexpr char kLedgerHeading[] = "KeloSetup ledger 1";
constexpr char kJournalHeading[] = "KeloSetup journal 1";
constexpr char kEnd[] = "end";

// A line's tab-separated fields; past the most any line has, the rest as one more, which no
// reader accepts.
std::vector<std::string> SplitFields(const std::string& line) {
  constexpr size_t kMostFields = 4;
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = fields.size() == kMostFields ? std::string::npos : line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

bool ParseNumber(const std::string& text, int base, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoull(text.c_str(), &end, base);
  return *end == '\0';
}

// Where the last line of a text ending in a line break begins.
size_t LastLineStart(const std::string& text) {
  const size_t before = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
  return before == std::string::npos ? 0 : before + 1;
}

// Every document ends with "end" and the number of lines before it: a file cut short by a
// crash is told from a whole one. Read on the text as it is, so a damaged file of many
// short lines costs nothing beyond its bytes.
bool EndsWhole(const std::string& text) {
  if (text.empty() || text.back() != '\n') return false;
  const size_t last = LastLineStart(text);
  const std::vector<std::string> fields = SplitFields(text.substr(last, text.size() - 1 - last));
  uint64_t count = 0;
  return fields.size() == 2 && fields[0] == kEnd && ParseNumber(fields[1], 10, &count) &&
         count == static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')) - 1;
}

// Hands the fields of each line between the heading and the closing line of a whole
// document to `take`, a line at a time: false when the document is not whole or `take`
// refuses a line.
template <typename Take>
bool ReadBody(const std::string& text, const char* heading, Take take) {
  const std::string first = std::string(heading) + "\n";
  if (!EndsWhole(text) || text.compare(0, first.size(), first) != 0) return false;
  const size_t closing = LastLineStart(text);
  for (size_t start = first.size(); start < closing;) {
    const size_t end = text.find('\n', start);
    if (!take(SplitFields(text.substr(start, end - start)))) return false;
    start = end + 1;
  }
  return true;
}

// A name read back must lead inside the install directory, each part of it as safe as a
// packet name's: a damaged or planted file must not make an uninstall delete, or a recovery
// move, anything elsewhere. The whole may be longer than a packet name (a copy aside).
bool IsInside(const std::string& name) {
  for (size_t start = 0, end;; start = end + 1) {
    end = name.find('\\', start);
    const size_t length = (end == std::string::npos ? name.size() : end) - start;
    if (!IsSafeArchiveName(name.data() + start, length)) return false;
    if (end == std::string::npos) return true;
  }
}

// A name of the installation itself: inside, and none of the transaction's own, which only
// the transaction removes (a ledger listing itself would lose the record of the rest).
bool IsInstalledName(const std::string& name) { return IsInside(name) && !IsReservedName(name); }

// Where a commit may have put an earlier file: into one of the folders it keeps them in,
// under its own name, or with a number behind it when a copy still in use held that name.
bool IsAside(const std::string& name) {
  for (const std::string folder : {kAsideDir, kKeptDir}) {
    if (name.compare(0, folder.size() + 1, folder + "\\") != 0) continue;
    const std::string copy = name.substr(folder.size() + 1);
    const size_t dot = copy.rfind('.');
    const bool numbered = dot != std::string::npos && dot + 1 < copy.size() &&
                          copy.find_first_not_of("0123456789", dot + 1) == std::string::npos;
    return IsInside(copy) || (numbered && IsInside(copy.substr(0, dot)));
  }
  return false;
}

void Close(std::string* text, size_t lines) { *text += std::string(kEnd) + "\t" + std::to_string(lines) + "\n"; }

}  // namespace

bool IsCutShort(const std::string& text) {
  // A whole first line that names another version's heading begins that version's document:
  // what it holds only that version can tell. Any other first line is a torn one of this
  // version's (lost power can leave a file's first block unwritten and a later one whole).
  const size_t heading_end = text.find('\n');
  if (heading_end != std::string::npos && text.compare(0, sizeof kHeadingStem - 1, kHeadingStem) == 0 &&
      text.compare(0, heading_end, kLedgerHeading) != 0 && text.compare(0, heading_end, kJournalHeading) != 0)
    return false;
  return !EndsWhole(text);
}

std::string FormatLedger(const Ledger& ledger) {
  std::string text = std::string(kLedgerHeading) + "\n";
  size_t lines = 1;
  if (ledger.commit) text += "commit\t" + std::to_string(ledger.commit) + "\n", ++lines;
  if (ledger.foreign_data) text += "data\tforeign\n", ++lines;
  if (ledger.made_levels) text += "root\t" + std::to_string(ledger.made_levels) + "\n", ++lines;
  for (const std::string& dir : ledger.dirs) text += "dir\t" + dir + "\n", ++lines;
  char numbers[48];
  for (const LedgerFile& file : ledger.files) {
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 "\t%08" PRIx32, file.size, file.crc);
    text += std::string("file\t") + numbers + "\t" + file.name + "\n";
    ++lines;
  }
  Close(&text, lines);
  return text;
}

bool ParseLedger(const std::string& text, Ledger* ledger) {
  Ledger parsed;
  const bool read = ReadBody(text, kLedgerHeading, [&](const std::vector<std::string>& f) {
    uint64_t size = 0, crc = 0, levels = 0;
    if (f.size() == 2 && f[0] == "commit" && ParseNumber(f[1], 10, &parsed.commit)) {
      // Ledgers of earlier setup programs have no count: 0.
    } else if (f.size() == 2 && f[0] == "data" && f[1] == "foreign") {
      parsed.foreign_data = true;
    } else if (f.size() == 2 && f[0] == "root" && ParseNumber(f[1], 10, &levels) && levels > 0 && levels <= kMaxMadeLevels) {
      parsed.made_levels = static_cast<uint32_t>(levels);
    } else if (f.size() == 2 && f[0] == "dir" && IsInstalledName(f[1])) {
      parsed.dirs.push_back(f[1]);
    } else if (f.size() == 4 && f[0] == "file" && ParseNumber(f[1], 10, &size) && ParseNumber(f[2], 16, &crc) &&
               IsInstalledName(f[3])) {
      parsed.files.push_back({f[3], size, static_cast<uint32_t>(crc)});
    } else {
      return false;
    }
    return true;
  });
  if (!read) return false;
  *ledger = std::move(parsed);
  return true;
}

std::string FormatJournal(const Journal& journal) {
  std::string text = std::string(kJournalHeading) + "\n";
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, "%08" PRIx32 "\t%" PRIu64, journal.ledger_crc, journal.ledger_size);
  text += std::string("ledger\t") + numbers + "\n";
  size_t lines = 2;
  for (const std::string& dir : journal.made_dirs) text += "mkdir\t" + dir + "\n", ++lines;
  for (const JournalMove& move : journal.moves) {
    text += std::string("move\t") + static_cast<char>(move.kind) + "\t" + move.name + "\t" + move.aside + "\n";
    ++lines;
  }
  Close(&text, lines);
  return text;
}

bool ParseJournal(const std::string& text, Journal* journal) {
  Journal parsed;
  bool has_ledger = false;
  const bool read = ReadBody(text, kJournalHeading, [&](const std::vector<std::string>& f) {
    uint64_t crc = 0;
    if (f.size() == 3 && f[0] == "ledger" && ParseNumber(f[1], 16, &crc) && ParseNumber(f[2], 10, &parsed.ledger_size)) {
      parsed.ledger_crc = static_cast<uint32_t>(crc);
      has_ledger = true;
    } else if (f.size() == 2 && f[0] == "mkdir" && IsInstalledName(f[1])) {
      parsed.made_dirs.push_back(f[1]);
    } else if (f.size() == 4 && f[0] == "move" && f[1].size() == 1 && IsInstalledName(f[2])) {
      const char kind = f[1][0];
      if (kind != JournalMove::kAdd && kind != JournalMove::kReplace && kind != JournalMove::kKeep &&
          kind != JournalMove::kDrop)
        return false;
      if (kind == JournalMove::kAdd ? !f[3].empty() : !IsAside(f[3])) return false;
      parsed.moves.push_back({static_cast<JournalMove::Kind>(kind), f[2], f[3]});
    } else {
      return false;
    }
    return true;
  });
  if (!read) return false;
  if (!has_ledger) return false;
  // A commit moves a name once, or twice where a drop sets aside what an add then takes the
  // place of (a file of ours that becomes a folder, or the other way): what else a journal
  // says of a name cannot be told apart.
  std::map<std::string, JournalMove::Kind> latest;  // lower-case name -> its latest move's kind
  for (const JournalMove& move : parsed.moves) {
    const auto [earlier, first] = latest.emplace(Lower(move.name), move.kind);
    if (first) continue;
    if (earlier->second != JournalMove::kDrop || move.kind != JournalMove::kAdd) return false;
    earlier->second = move.kind;
  }
  *journal = std::move(parsed);
  return true;
}

}  // namespace kelo
