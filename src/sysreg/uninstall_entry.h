#pragma once
// The per-user uninstall entry that lists the browser among the installed programs.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelo {

// The major and minor halves of the file version of an executable. On failure the outputs
// are left as they were and the last error tells why (87 for an empty path, 2 for a
// missing file, the system's own for a file without version information).
bool ReadFileVersion(const wchar_t* path, uint32_t* major, uint32_t* minor);

// Writes the entry for the installation in `install_dir` (which ends with a separator),
// dating it with `now`. False, with the registry's code as last error, only when the key
// cannot be created or opened; a value that cannot be written is skipped.
using LocalTimeSource = void(WINAPI*)(LPSYSTEMTIME);
bool WriteUninstallEntry(const std::wstring& install_dir, LocalTimeSource now = GetLocalTime);

// Deletes the entry when it is the one of the installation in `install_dir`; an entry of
// another installation stays. True when no entry of that installation is left.
bool RemoveUninstallEntry(const std::wstring& install_dir);

// Whether `install_dir` holds a Data folder.
bool HoldsDataFolder(const std::wstring& install_dir);

// Deletes the window's memory of a failed install (INSTALLERROR), which has it offer the
// feedback link at the next failure: an install that succeeds ends the run of failures.
void ForgetInstallFailure();

// Remembers `install_dir` as where an uninstall kept the browser's Data, with the folder
// levels that are the product's (its install made them, or they are the product's own
// folder), still to remove once empty; the next entry
// written forgets it. False, with the registry's code as last error, when it cannot.
bool RememberKeptData(const std::wstring& install_dir, uint32_t made_levels);
// That folder, when one is remembered and still holds its Data, and those levels.
bool KeptDataLocation(std::wstring* install_dir, uint32_t* made_levels = nullptr);

// The "InstallLocation" the entry records, exactly as stored (possibly empty); the
// registry's result code otherwise. The one reader of where the last install went.
[[nodiscard]] LONG ReadInstallLocation(std::wstring* location);

}  // namespace kelo
