#pragma once
// Install step 0: the payload packet this program carries (FILE 143) installed into the
// install directory as one transaction (install_transaction.h). Until the new installation
// is wholly in place the earlier one works, byte for byte; files the installs did not put
// there, and the Data folder, are never touched.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/win_holders.h"
#include "setup/install_transaction.h"
#include "sysreg/install_dir.h"

namespace kelo {

// How long step 0 waits for the main program to show up after the commit: a virus scanner
// may hold it back for a moment, but must not keep the install waiting for ever.
inline constexpr DWORD kMainProgramWaitMs = 3000;

// The whole of step 0 for the install directory `dir` (which ends with a separator). On
// failure the last error tells why; a directory the step made is removed again.
// `progress`, if any, hears how far staging has got (see InstallRules::progress).
// `payload_damaged`, if any, tells whether it failed because the payload did not pass its
// check: its error, ERROR_FILE_CORRUPT, may also come from a failing disk. `folder_hold`, if
// any, receives the folder's hold (see Win32InstallFs::HoldFolder) once the files are in,
// for the install's later steps to keep; without it the hold goes with the step. `why`, if
// any, receives a failure's cause in words for the log: the error code alone cannot tell a
// payload without its main program from a main program another program removed.
bool ExtractPayload(const std::wstring& dir,
                    const std::function<void(uint64_t done, uint64_t total)>& progress = nullptr,
                    bool* payload_damaged = nullptr, ScopedHandle* folder_hold = nullptr,
                    std::wstring* why = nullptr);

// The packet resource of ModuleInstance(), checked against the digest stored beside it.
// False when there is none (the resource error as last error), or with ERROR_FILE_CORRUPT
// when the digest is missing or does not match: the installer was damaged on its way.
bool FindPayloadPacket(const uint8_t** bytes, size_t* size);

// How far the payload reaches below the install directory as step 0 writes it: its longest
// name and folder (FILE 145) inside the longest of the folders files are staged in or set
// aside to. Zero when the resource is missing or malformed.
PathReach StagedPayloadReach();

// Whether the installation in `dir` keeps a ledger or an unfinished commit's journal this
// program cannot understand (damaged, or a later version's): step 0 would change nothing
// there.
bool HoldsUnreadableRecord(const std::wstring& dir);

// Why the main program could not be seen after the commit, in words, from the error of the
// last look: most often a virus scanner took it.
std::wstring MainProgramLostWords(DWORD error);

// The Win32 error code that reports a failed outcome, and its cause in words.
DWORD OutcomeError(const InstallOutcome& outcome);
std::wstring OutcomeWords(const InstallOutcome& outcome);

}  // namespace kelo
