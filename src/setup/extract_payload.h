#pragma once
// Install step 0 and the file operations it is made of. The install directory is created
// when missing, the payload packet is written into it, read back through a read-only
// mapping, decoded and checked; only then is an earlier installation cleared (all but its
// top-level "Data" folder), every file of the archive written, and the packet removed.
// Every operation returns true for success; on failure the thread's last error says why.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/file_paths.h"
#include "base/win_holders.h"

namespace kelo {

// How long step 0 waits for the main program to show up after unpacking.
inline constexpr DWORD kMainProgramWaitMs = 3000;

// The whole of step 0 for the install directory `dir` (which ends with a separator).
bool ExtractPayload(const std::wstring& dir);

// Whether `dir` holds an earlier installation of the product, and so may be cleared: it
// has the main program at its top level, or it is the "InstallLocation" of the uninstall
// entry. A drive or share root never counts: clearing it would empty the whole volume.
bool HoldsEarlierInstallation(const std::wstring& dir);

// Removes the files below `dir`, except those in its top-level "Data" folder (the user's
// profiles). Goes on past files it cannot remove; fails only when `dir` cannot be listed.
bool ClearInstallDir(const std::wstring& dir);
// Removes the files below `dir`, recursively, stopping at the first failure. Directories
// stay. A directory that cannot be listed has nothing to remove.
bool RemoveTreeFiles(const std::wstring& dir);
// Deletes the file, or, when it is in use, moves it to its name + ".tmp" (replacing an
// unused copy of that name), which frees the name, and asks for the copy's deletion at
// restart, which only an administrator is granted: otherwise it stays until a later
// install clears the folder once its program has ended. A ".tmp" file in use is never
// moved again.
bool RemoveFile(const std::wstring& path);

// Writes the packet resource (FILE 143 of ModuleInstance()) to `path`.
bool WritePacketFile(const std::wstring& path);

// The packet file mapped read-only; unmapped when it goes.
struct PacketMapping {
  ScopedHandle mapping;
  ScopedMapView view;
  DWORD size = 0;
};
bool MapPacketFile(const std::wstring& path, PacketMapping* mapping);

// Maps, decodes and checks the packet, then writes its archive's files below `dest`,
// clearing it first (ClearInstallDir) when `clear_first` is set.
bool UnpackPacket(const std::wstring& packet_path, const std::wstring& dest, bool clear_first);

// Writes one file per record below `dest`. Nothing is written, nor `dest` cleared when
// `clear_first` is set, unless every record is sound and every path fits the
// 260-character buffers; each file is truncated and written whole.
bool WriteArchiveFiles(const uint8_t* data, size_t size, const std::wstring& dest, bool clear_first = false);

}  // namespace kelo
