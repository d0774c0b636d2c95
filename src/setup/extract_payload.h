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

namespace kelo {

class CSetupLogic;

// Paths are handled in buffers of this many characters, terminator included.
inline constexpr size_t kPathChars = MAX_PATH;
// How long step 0 waits for the main program to show up after unpacking.
inline constexpr DWORD kMainProgramWaitMs = 3000;

// Users type either separator; the system takes both.
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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
// unused copy of that name) and schedules that for deletion at restart. A ".tmp" file in
// use is never moved again.
bool RemoveFile(const std::wstring& path);
// Creates each missing directory level of `path` up to its last separator.
bool MakeDirectories(const std::wstring& path);

// Writes the packet resource (FILE 143 of ModuleInstance()) to the install directory's
// "SetupPacket.7z".
bool WritePacketFile(const CSetupLogic& logic);

// The packet file mapped read-only; unmapped when it goes.
struct PacketMapping {
  PacketMapping() = default;
  PacketMapping(const PacketMapping&) = delete;
  PacketMapping& operator=(const PacketMapping&) = delete;
  ~PacketMapping();
  void Release();

  HANDLE mapping = nullptr;
  const uint8_t* view = nullptr;
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
