// Feeds arbitrary text to the readers of the install ledger and the commit journal, the
// files an uninstall and a recovery act on: whatever a damaged or planted file holds, what
// they accept names places inside the install directory only (copies aside inside our own
// folders for them), reads back the same once written again, and no cut through it, before
// its end, is taken for a whole one. The first byte steers: even, a ledger; odd, a journal;
// the rest of it, where the cut falls.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "setup/install_transaction.h"
#include "setup/ledger.h"

namespace {

using namespace kelo;

void Check(bool condition) {
  if (!condition) std::abort();
}

// No way out of the folder, spelled in a path's terms: no root, drive, stream or parent.
void CheckInside(const std::string& name) {
  Check(!name.empty() && name[0] != '\\' && name.find(':') == std::string::npos && name.find('/') == std::string::npos);
  Check(name != ".." && name.rfind("..\\", 0) != 0 && name.find("\\..\\") == std::string::npos);
  Check(name.size() < 3 || name.compare(name.size() - 3, 3, "\\..") != 0);
  Check(name.find("\\\\") == std::string::npos && name.back() != '\\');
}

void CheckAside(const std::string& aside) {
  CheckInside(aside);
  const bool ours = aside.rfind(std::string(kAsideDir) + "\\", 0) == 0 || aside.rfind(std::string(kKeptDir) + "\\", 0) == 0;
  Check(ours);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto cut = [&] { return text.substr(0, text.size() - 1 - (data[0] >> 1) % text.size()); };
  if (data[0] % 2 == 0) {
    Ledger ledger;
    if (!ParseLedger(text, &ledger)) return 0;
    Ledger partial;
    Check(IsCutShort(cut()) && !ParseLedger(cut(), &partial));
    for (const std::string& dir : ledger.dirs) CheckInside(dir);
    for (const LedgerFile& file : ledger.files) CheckInside(file.name);
    const std::string again = FormatLedger(ledger);
    Ledger reread;
    Check(ParseLedger(again, &reread) && FormatLedger(reread) == again);
  } else {
    Journal journal;
    if (!ParseJournal(text, &journal)) return 0;
    Journal partial;
    Check(IsCutShort(cut()) && !ParseJournal(cut(), &partial));
    for (const std::string& dir : journal.made_dirs) CheckInside(dir);
    for (const JournalMove& move : journal.moves) {
      CheckInside(move.name);
      if (move.kind == JournalMove::kAdd) {
        Check(move.aside.empty());
      } else {
        CheckAside(move.aside);
      }
    }
    const std::string again = FormatJournal(journal);
    Journal reread;
    Check(ParseJournal(again, &reread) && FormatJournal(reread) == again);
  }
  return 0;
}
