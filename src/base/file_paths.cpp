#include "base/file_paths.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace kelo {

std::wstring ChildPath(const std::wstring& dir, const wchar_t* name) {
  std::wstring path = dir;
  if (!path.empty() && !IsPathSeparator(path.back())) path += L'\\';
  return path += name;
}

bool MakeDirectories(const std::wstring& path) {
  // A drive or share root exists or cannot be made; start below it.
  const wchar_t* below_root = PathSkipRootW(path.c_str());
  for (size_t pos = below_root ? static_cast<size_t>(below_root - path.c_str()) : 0; pos < path.size(); ++pos) {
    if (!IsPathSeparator(path[pos]) || pos == 0 || IsPathSeparator(path[pos - 1])) continue;
    const std::wstring prefix = path.substr(0, pos);
    if (PathFileExistsW(prefix.c_str())) continue;
    if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

bool ShellFolderPath(int csidl, std::wstring* path) {
  wchar_t buffer[kPathChars] = {};
  const HRESULT hr = SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (FAILED(hr)) {
    SetLastError(static_cast<DWORD>(hr));
    return false;
  }
  path->assign(buffer);
  return true;
}

}  // namespace kelo
