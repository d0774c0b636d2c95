#pragma once
// Paths and folders: the one way the program joins paths, makes folders and finds the
// user's shell folders.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelo {

// Paths are handled in buffers of this many characters, terminator included.
inline constexpr size_t kPathChars = MAX_PATH;

// Users type either separator; the system takes both.
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// `dir` and `name` joined by exactly one "\" (none is added after a separator).
std::wstring ChildPath(const std::wstring& dir, const wchar_t* name);

// Two spellings of one folder or file ("C:\\a\\" and "c:/A", or a short name for a long
// one that exists): the same full path, case and final separators aside. False when either
// does not fit 260 characters.
bool SamePath(const std::wstring& a, const std::wstring& b);

// Whether `path` names `dir` itself or anything below it, by their full paths, case aside.
// False when either does not fit 260 characters.
bool IsWithinPath(const std::wstring& path, const std::wstring& dir);

// The absolute form of `path`, as the system resolves it ("." and ".." gone, slashes made
// backslashes); empty when it does not fit 260 characters.
std::wstring AbsolutePath(const std::wstring& path);

// Creates each missing folder level of `path` up to its last separator, so "D:\a\b\"
// and "D:\a\b\file" both make a and b, never a folder "file". On failure the last error
// is the system's for the level that could not be made. `private_first`: on a fixed drive
// that keeps access rules, the first level made, and so everything below it, is this
// user's alone (with the system's and the administrators'), where it would otherwise take
// what its parent passes on.
bool MakeDirectories(const std::wstring& path, bool private_first = false);

// How many folder levels lie between `ancestor` and `dir` below it ("C:\\a" and
// "C:\\a\\b\\c\\": 2).
uint32_t FolderLevelsBetween(const std::wstring& ancestor, const std::wstring& dir);

// Whether an entry with these attributes and reparse tag (a directory entry's dwReserved0)
// leads elsewhere: a junction, a symbolic link, a mount point, or a reparse point of a kind
// not told. Whatever lies behind it is not ours. Others stand for the file itself (a cloud
// file's placeholder, a deduplicated file) and are read as it.
bool LeadsElsewhere(DWORD attributes, DWORD tag);

// Whether `path`, whose attributes are `attributes`, leads elsewhere (see LeadsElsewhere);
// one whose directory entry cannot be read is taken for a link.
bool IsLink(const std::wstring& path, DWORD attributes);

// Removes the folder `dir` and then its parents, `levels` folders in all, each only when
// empty, and stops at the first that stays or is a link. `past_missing` passes over the
// levels that are not there, as when the making of folders stopped above them (or their
// name is one no folder can have). Keeps the caller's last error.
void RemoveEmptyFolders(std::wstring dir, uint32_t levels, bool past_missing = false);

// The file-system path of a per-user shell folder (a CSIDL_ value), without a final
// separator. On failure the last error holds the shell's HRESULT.
bool ShellFolderPath(int csidl, std::wstring* path);

}  // namespace kelo
