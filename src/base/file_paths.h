#pragma once
// Paths and folders: the one way the program joins paths, makes folders and finds the
// user's shell folders.
#include <windows.h>

#include <cstddef>
#include <string>

namespace kelo {

// Paths are handled in buffers of this many characters, terminator included.
inline constexpr size_t kPathChars = MAX_PATH;

// Users type either separator; the system takes both.
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// `dir` and `name` joined by exactly one "\" (none is added after a separator).
std::wstring ChildPath(const std::wstring& dir, const wchar_t* name);

// Creates each missing folder level of `path` up to its last separator, so "D:\a\b\"
// makes the folder b and "D:\a\b\file" makes only a. On failure the last error is the
// system's for the level that could not be made.
bool MakeDirectories(const std::wstring& path);

// The file-system path of a per-user shell folder (a CSIDL_ value), without a final
// separator. On failure the last error holds the shell's HRESULT.
bool ShellFolderPath(int csidl, std::wstring* path);

}  // namespace kelo
