#pragma once
// Installing a payload packet into a folder as one transaction, and removing what an install
// put there. New files are decoded into a staging folder beside the live ones and checked
// whole; only then does the commit move them into place, each file it replaces going aside
// until the whole set is in, and write the ledger of what the folder now holds from the
// install, as its last act. A journal written before the first live move lets the next run
// finish or roll back a commit that was cut short (the process killed, the power lost):
// whatever happens, the folder holds the whole earlier installation or the whole new one.
// Nothing the ledger does not list is ever deleted (but what an older setup program left in
// the product's own folder, see InstallRules::adopt_unlisted); a file of someone else's
// that the payload replaces is kept in a folder of its own.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "setup/install_fs.h"
#include "setup/packet.h"

namespace kelo {

// What the transaction keeps in the install directory. A payload may not use these names.
inline constexpr char kLedgerName[] = "KeloSetup.ledger";
inline constexpr char kJournalName[] = "KeloSetup.journal";
// The ledger a commit is to write, beside its journal until the commit holds.
inline constexpr char kPendingLedgerName[] = "KeloSetup.ledger.new";
// Open while an installer or uninstaller works in the folder, gone with its last handle.
inline constexpr char kFolderHoldName[] = "KeloSetup.lock";
inline constexpr char kStagingDir[] = "KeloSetup.new";  // files of an install not yet committed
inline constexpr char kAsideDir[] = "KeloSetup.old";    // our replaced files, until nothing holds them
inline constexpr char kKeptDir[] = "KeloSetup.kept";    // files of others that the payload replaced
// A name set aside where an earlier copy of it still waits gets ".1" to ".99" appended.
inline constexpr int kMaxAsideTries = 100;
inline constexpr size_t kAsideSuffixChars = 3;
// How much further below the install folder than its own name a file of the payload may
// lie: staged, or set aside in the folder of the user's files (the longest of the three),
// behind a separator and with a suffix where an earlier copy still waits.
inline constexpr size_t kSetAsideReach = sizeof kKeptDir + kAsideSuffixChars;
static_assert(sizeof kKeptDir >= sizeof kStagingDir && sizeof kKeptDir >= sizeof kAsideDir,
              "the user's set-aside folder reaches furthest");
static_assert(kMaxAsideTries <= 100, "a suffix of at most \".99\"");
// Left by an uninstall that left anything behind: nothing there is an older setup
// program's, and a Data the user kept is still the browser's.
inline constexpr char kDataMarker[] = "KeloSetup.data";
// The user's profiles: never part of an install, never cleared.
inline constexpr char kDataDir[] = "Data";

// A name (in the system's ANSI code page) as a key that two names share exactly when
// Windows takes them for one: ASCII letters lower-cased, and on Windows every other letter
// folded as the file system folds it (Ä and ä, Ａ and ａ), in UTF-8. Elsewhere only ASCII
// letters fold. Keys are for comparing, never for paths.
std::string Lower(std::string text);

// Whether a payload name falls among the names above, in any letter case: a packet carrying
// one is refused.
bool IsReservedName(const std::string& name);

struct InstallRules {
  // Files the payload must hold (the main program): a packet without them is refused.
  std::vector<std::string> required;
  // A folder without a ledger, but with the `required` files, was filled by an older setup
  // program: its files count as the earlier installation's, to be replaced or removed, but
  // for Data and copies of it, and other installations inside. Only for the product's own
  // default folder, and not after an uninstall of ours (kDataMarker); anywhere else files
  // without a ledger are the user's.
  bool adopt_unlisted = false;
  // Folder levels this install made: the install directory, and its parents that were
  // missing too.
  uint32_t made_levels = 0;
  // Staged files are flushed and closed on a thread of their own while the next ones are
  // written. Off, every file operation happens in one order, as tests that count them need.
  bool finish_in_background = true;
  // Told, from the thread that writes, how many of the payload's bytes are staged so far
  // and of how many, never fewer than before; once all is staged, all of them. May be
  // empty.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct InstallOutcome {
  enum Reason {
    kDone,
    kFileSystem,   // an operation failed: `system_error` says why
    kBadPacket,    // `packet_error` says what is wrong with it
    kDiskFull,     // less free space than the payload needs
    kMissingFile,  // a required file is not in the payload
    kConflict,     // a folder stands where a payload file goes, or the reverse
    kUnreadableRecord,  // the ledger, or an unfinished commit's whole journal, cannot be
                        // understood (damaged, or another version's): nothing is touched
  };
  Reason reason = kDone;
  uint32_t system_error = 0;
  PacketError packet_error = PacketError::kNone;
  // kConflict: the name, below the install directory, of what is in the way; an uninstall's
  // kFileSystem: the Data folder that could not be emptied (the browser's files are all there).
  std::string where;
  bool ok() const { return reason == kDone; }
};

// Finishes or rolls back a commit an earlier run left unfinished, then removes what earlier
// runs left: a staging folder, copies moved aside once nothing holds them. Installs begin
// with it, uninstalls with the same recovery; false when an unfinished commit could not yet
// be settled, or a staging folder not yet be removed.
InstallOutcome RecoverInstall(InstallFs* fs);

// Recovers, stages the packet, checks it and commits it. On any failure the folder is as it
// was before (but for what recovery settled).
InstallOutcome InstallPacket(InstallFs* fs, const uint8_t* packet, size_t size, const InstallRules& rules);

// Removes every file the ledger lists and the folders it made once empty, then the ledger;
// the Data folder too unless `keep_data`. Files in use are moved aside for a later run, once
// everything else went; after a failure they are all in place. No ledger: nothing is
// removed, and a staging folder the recovery could not remove is a failure. The install
// directory itself stays, for the caller (which knows whether anything is still aside in
// it) to remove with the ledger's made_levels, given in *made_levels (0 without a ledger)
// when that is not null.
InstallOutcome UninstallFiles(InstallFs* fs, bool keep_data, uint32_t* made_levels = nullptr);

// Whether what an uninstall removing Data left there is other installations alone (folders
// below Data holding our own names, which the user put there): nothing of the profile, no
// link, stayed.
bool DataHoldsOnlyInstallations(InstallFs* fs);

// After an uninstall, in a folder that holds no file of anyone's any more (what the
// uninstall saw there was on its way out, or it left only empty folders): the empty folders
// and the uninstall's mark (kDataMarker) go, so that the folder can.
void TidyLeftFolder(InstallFs* fs);

// Reads the ledger: kUnreadableRecord when there is none or it cannot be understood, a
// file-system failure when it cannot be read now.
InstallOutcome ReadLedger(InstallFs* fs, struct Ledger* ledger);

}  // namespace kelo
