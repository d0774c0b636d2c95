// Install step 0: the browser's files into the install directory.
#include "setup/extract_payload.h"

#include <cstring>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "setup/install_fs_win.h"
#include "setup/ledger.h"
#include "setup/sha256.h"
#include "sysreg/install_dir.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

namespace {

// A name below the install directory as the install's file operations read it: in the
// system's code page.
std::wstring NameInCodePage(const std::string& name) {
  const int size = static_cast<int>(name.size());
  const int chars = size > 0 ? MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0) : 0;
  std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
  if (chars > 0) MultiByteToWideChar(CP_ACP, 0, name.data(), size, &wide[0], chars);
  return wide;
}

// Whether a failed look at a file says it is gone, or going: a file another program has
// deleted while it still holds it open denies every look until it is closed.
bool GoneOrGoing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED;
}

// Only a program not there yet (or on its way out) is waited for: any other failure to look
// (the drive gone) is reported as it is, at once.
bool WaitForMainProgram(const std::wstring& path) {
  const ULONGLONG deadline = GetTickCount64() + kMainProgramWaitMs;
  while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (!GoneOrGoing(error) || GetTickCount64() >= deadline) {
      SetLastError(error);
      return false;
    }
    Sleep(100);
  }
  return true;
}

bool FindModuleResource(int id, const uint8_t** bytes, size_t* size) {
  const HMODULE module = ModuleInstance();
  const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), kPacketResourceType);
  if (!resource) return false;
  const HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return false;
  *bytes = static_cast<const uint8_t*>(data);
  *size = SizeofResource(module, resource);
  return true;
}

}  // namespace

bool FindPayloadPacket(const uint8_t** bytes, size_t* size) {
  if (!FindModuleResource(kPacketResourceId, bytes, size)) return false;
  const uint8_t* stored = nullptr;
  size_t stored_size = 0;
  uint8_t digest[kSha256Size];
  if (FindModuleResource(kPacketDigestResourceId, &stored, &stored_size) && stored_size == kSha256Size) {
    Sha256(*bytes, *size, digest);
    if (std::memcmp(digest, stored, kSha256Size) == 0) return true;
  }
  SetLastError(ERROR_FILE_CORRUPT);
  return false;
}

PathReach StagedPayloadReach() {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  if (!FindModuleResource(kPacketReachResourceId, &bytes, &size) || size != 4) return PathReach{};
  // Names are counted in bytes: a double-byte character of an ANSI name is one character.
  PathReach reach;
  reach.file_chars = kSetAsideReach + (bytes[0] | bytes[1] << 8);
  const size_t folder = bytes[2] | bytes[3] << 8;
  reach.folder_chars = folder ? kSetAsideReach + folder : sizeof kKeptDir - 1;
  return reach;
}

bool HoldsUnreadableRecord(const std::wstring& dir) {
  if (dir.empty()) return false;
  Win32InstallFs fs(dir);
  // A journal the recovery refuses (no file, or whole and not this version's) refuses the
  // install whatever the ledger holds; one it can read may yet bring a whole ledger back.
  const InstallFs::Kind journal = fs.Probe(kJournalName);
  if (journal == InstallFs::Kind::kLink || journal == InstallFs::Kind::kDirectory) return true;
  if (journal == InstallFs::Kind::kFile) {
    std::string text;
    Journal parsed;
    return fs.ReadAll(kJournalName, &text) && !IsCutShort(text) && !ParseJournal(text, &parsed);
  }
  Ledger ledger;
  return journal == InstallFs::Kind::kMissing && fs.Probe(kLedgerName) != InstallFs::Kind::kMissing &&
         ReadLedger(&fs, &ledger).reason == InstallOutcome::kUnreadableRecord;
}

DWORD OutcomeError(const InstallOutcome& outcome) {
  switch (outcome.reason) {
    case InstallOutcome::kDone: return ERROR_SUCCESS;
    case InstallOutcome::kFileSystem: return outcome.system_error ? outcome.system_error : ERROR_GEN_FAILURE;
    case InstallOutcome::kBadPacket:
      return outcome.packet_error == PacketError::kOutOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
    case InstallOutcome::kDiskFull: return ERROR_DISK_FULL;
    case InstallOutcome::kMissingFile: return ERROR_FILE_NOT_FOUND;
    case InstallOutcome::kConflict: return ERROR_ALREADY_EXISTS;
    case InstallOutcome::kUnreadableRecord: return ERROR_BAD_FORMAT;
  }
  return ERROR_GEN_FAILURE;
}

std::wstring OutcomeWords(const InstallOutcome& outcome) {
  switch (outcome.reason) {
    case InstallOutcome::kDone: return L"done";
    case InstallOutcome::kFileSystem: return L"a file operation in the install directory failed";
    case InstallOutcome::kBadPacket: {
      const char* text = PacketErrorText(outcome.packet_error);
      return L"the payload cannot be unpacked: " + std::wstring(text, text + std::strlen(text));
    }
    case InstallOutcome::kDiskFull: return L"the drive has less free space than the payload needs";
    case InstallOutcome::kMissingFile: return std::wstring(L"the payload lacks ") + kBrowserExe;
    case InstallOutcome::kConflict:
      return L"a folder stands where a payload file goes, or a file where a folder goes: " + NameInCodePage(outcome.where);
    case InstallOutcome::kUnreadableRecord: return L"the install ledger or journal cannot be understood";
  }
  return L"unknown";
}

std::wstring MainProgramLostWords(DWORD error) {
  return std::wstring(kBrowserExe) + (GoneOrGoing(error) ? L" is gone after the commit (another program removed it?)"
                                                         : L" cannot be looked at after the commit");
}

bool ExtractPayload(const std::wstring& dir, const std::function<void(uint64_t, uint64_t)>& progress,
                    bool* payload_damaged, ScopedHandle* folder_hold, std::wstring* why) {
  // Says why, keeping the last error for the caller.
  const auto say = [why](const std::wstring& words) {
    if (why) *why = words;
    return false;
  };
  // Every path of the step goes through 260-character buffers: refuse before touching the
  // disk. The main program's is the longest of the fixed names.
  if (dir.empty() || (dir + kBrowserExe).size() >= kPathChars) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return say(L"the install directory's path is too long");
  }
  const uint8_t* packet = nullptr;
  size_t packet_size = 0;
  if (!FindPayloadPacket(&packet, &packet_size)) {
    const bool damaged = GetLastError() == ERROR_FILE_CORRUPT;
    if (payload_damaged) *payload_damaged = damaged;
    return say(damaged ? L"the installer is damaged: its payload fails its check" : L"the installer carries no payload");
  }

  // Counted, made and removed again on the path as the system resolves it: a "." or ".."
  // in the typed one would count levels that are not made (and an uninstall would then
  // remove a folder that was there before).
  const std::wstring absolute = AbsolutePath(dir);
  const uint32_t made_levels = absolute.empty() ? 0 : FolderLevelsBetween(NearestExistingDir(absolute.c_str()), absolute);
  if (made_levels > 0 && !MakeDirectories(absolute, /*private_first=*/true)) {
    RemoveEmptyFolders(absolute, made_levels, /*past_missing=*/true);
    return say(L"the install directory cannot be made");
  }
  InstallRules rules;
  rules.required = {kBrowserRecordName};
  rules.adopt_unlisted = IsProductsOwnFolder(dir);
  // The folders made by an install whose uninstall kept Data here stay the product's to
  // remove once empty. A count no ledger can hold (a record someone else wrote) counts for
  // nothing: in the ledger it would make the installation unreadable for good.
  std::wstring kept;
  uint32_t kept_levels = 0;
  rules.made_levels = KeptDataLocation(&kept, &kept_levels) && SamePath(kept, dir) && kept_levels > made_levels &&
                              kept_levels <= kMaxMadeLevels
                          ? kept_levels
                          : made_levels;
  rules.progress = progress;
  Win32InstallFs fs(dir);
  const auto fail = [&](DWORD error, const std::wstring& words) {
    RemoveEmptyFolders(absolute, made_levels);
    SetLastError(error);
    return say(words);
  };
  ScopedHandle hold;
  if (!fs.HoldFolder(&hold)) return fail(fs.LastError(), L"the install directory cannot be held for this install");
  const InstallOutcome outcome = InstallPacket(&fs, packet, packet_size, rules);
  if (!outcome.ok()) {
    hold.Reset();  // the empty folders made go, the hold's file with them
    return fail(OutcomeError(outcome), OutcomeWords(outcome));
  }
  if (!WaitForMainProgram(dir + kBrowserExe)) return say(MainProgramLostWords(GetLastError()));
  if (folder_hold) *folder_hold = std::move(hold);
  return true;
}

}  // namespace kelo
