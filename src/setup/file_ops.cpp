// Clearing an earlier installation: the file operations of step 0.
#include <cwchar>

#include "base/product.h"
#include "base/win_holders.h"
#include "setup/extract_payload.h"

namespace kelo {

namespace {

bool IsDotEntry(const WIN32_FIND_DATAW& entry) {
  const wchar_t* name = entry.cFileName;
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// A junction or symbolic link may point anywhere, a user's documents included: the files
// behind it are not ours to remove, so clearing never walks into one.
bool IsLinkedDirectory(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool EndsWithAsideSuffix(const std::wstring& path) {
  const size_t suffix_chars = std::wcslen(kAsideSuffix);
  return path.size() >= suffix_chars &&
         CompareStringOrdinal(path.c_str() + path.size() - suffix_chars, -1, kAsideSuffix, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool ClearInstallDir(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  ScopedFindHandle find(FindFirstFileW(ChildPath(dir, L"*").c_str(), &entry));
  if (!find.IsValid()) return false;
  do {
    if (IsDotEntry(entry)) continue;
    const std::wstring path = ChildPath(dir, entry.cFileName);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // The top-level Data folder holds the user's profiles; only that exact name is kept.
      if (std::wcscmp(entry.cFileName, kDataFolder) == 0 || IsLinkedDirectory(entry)) continue;
      RemoveTreeFiles(path);
    } else {
      // A file that can neither go nor move aside stays; writing over it decides later.
      RemoveFile(path);
    }
  } while (FindNextFileW(find.Get(), &entry));
  Sleep(50);
  return true;
}

bool RemoveTreeFiles(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  ScopedFindHandle find(FindFirstFileW(ChildPath(dir, L"*").c_str(), &entry));
  if (!find.IsValid()) return true;
  bool ok = true;
  do {
    if (IsDotEntry(entry)) continue;
    const std::wstring path = ChildPath(dir, entry.cFileName);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!IsLinkedDirectory(entry)) ok = RemoveTreeFiles(path);
    } else {
      ok = RemoveFile(path);
    }
  } while (ok && FindNextFileW(find.Get(), &entry));
  return ok;
}

bool RemoveFile(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return true;
  // A copy moved aside earlier is out of the way already: it goes once its program ends.
  if (EndsWithAsideSuffix(path)) return false;
  // A running program's file cannot be deleted but can be renamed, which frees its name
  // for the new file. A copy moved aside by an earlier install may still hold the aside
  // name; once its program has ended, that name is needed now.
  const std::wstring aside = path + kAsideSuffix;
  DeleteFileW(aside.c_str());
  if (!MoveFileW(path.c_str(), aside.c_str())) return false;
  // Only an administrator may have the copy deleted at restart; for a standard user the
  // request is refused, and the copy stays until a later install clears the folder.
  MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return true;
}

}  // namespace kelo
