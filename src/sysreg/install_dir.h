#pragma once
// The install directory: what the installer proposes, and whether a directory typed or
// picked by the user may be installed into.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelo {

inline constexpr size_t kDirFieldChars = 261;  // the field's read buffer, terminator included

// The stored "InstallLocation" of an earlier installation, else the folder where an
// uninstall kept Data (while it holds it), else the local application-data folder +
// "\Kelo\KeloBrowser\". False (and `dir` untouched) when none is available.
bool DefaultInstallDir(std::wstring* dir);

// Whether `dir` is the product's own folder: the default one ("\Kelo\KeloBrowser\" below
// the local application-data folder), whatever its spelling, and not where that folder or
// the one above it is a link (to a folder of the user's on another drive, say), behind
// which any files may stand. Files there that no ledger lists, beside an older main
// program, are an older setup program's, for an install to clear; its two levels are the
// product's to remove once empty, whoever made them.
bool IsProductsOwnFolder(const std::wstring& dir);
inline constexpr uint32_t kProductsOwnFolderLevels = 2;

// Form only: "X:\" or "X:/" then no : * ? " < > | ; 3 to 260 characters. Touches no disk.
bool IsValidInstallPath(const wchar_t* path);

// False when the directory, or its nearest existing ancestor, carries an access-denied
// entry with all four write bits (the last error then ERROR_SUCCESS), or when its
// permissions cannot be read (the last error says why).
bool IsDirWritable(const wchar_t* path);

// The two halves of IsDirWritable. The first walks up, with "/" read as "\", to the
// nearest existing directory (at worst the drive root) of a path cut to 260 characters.
// The second looks only at access-denied entries, for any trustee, and counts those that
// deny FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA and FILE_WRITE_ATTRIBUTES at once.
std::wstring NearestExistingDir(const wchar_t* path);
bool DaclAllowsWriting(PSECURITY_DESCRIPTOR descriptor);

// Bytes available to the caller on the volume of an existing folder (a drive root such as
// "C:\", or any folder on it); false if unknown.
using FreeSpaceQuery = bool (*)(const wchar_t* root, uint64_t* bytes);
bool QueryFreeSpace(const wchar_t* root, uint64_t* bytes);

struct DirCheck {
  bool valid = false;
  std::wstring message;  // a failure message or the free-space text
  // For the log, of a refusal: which rule refused the directory, and the system's error
  // where a look at the disk failed. Many rules share one message.
  std::wstring cause;
};
// How far below its directory an install reaches, in characters after the directory's
// separator: its longest file path and its longest folder path. Windows takes no path of
// MAX_PATH characters or more, and makes no folder of MAX_PATH - 12 or more: a directory
// too long for them is refused (as a bad path) before anything is written. Both zero:
// nothing is known, and only the form check limits the directory's length.
struct PathReach {
  size_t file_chars = 0;
  size_t folder_chars = 0;
};
// Refused as a bad path: a bad form, a folder name Windows would make under another name
// (one ending in a space, or in a dot after a space or a dot), a directory too long
// for `reach`. Then refused: one not writable, a drive with too little free space or none
// known. Valid, the message is the free space.
DirCheck ValidateInstallDir(const wchar_t* path, const PathReach& reach, FreeSpaceQuery free_space = QueryFreeSpace);
// The same for the text of the directory field or of /D=: text longer than the field reads
// back whole (kDirFieldChars less the terminator and the character GetWindowText keeps
// back) is refused, not installed into cut short.
DirCheck ValidateDirText(const std::wstring& text, const PathReach& reach);

// Appends "\KeloBrowser" in place, cut to fit the buffer.
void AppendProductFolder(wchar_t (&buffer)[kDirFieldChars]);

}  // namespace kelo
