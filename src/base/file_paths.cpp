#include "base/file_paths.h"

#include <sddl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <optional>

#include "base/account.h"

namespace kelo {

std::wstring ChildPath(const std::wstring& dir, const wchar_t* name) {
  std::wstring path = dir;
  if (!path.empty() && !IsPathSeparator(path.back())) path += L'\\';
  return path += name;
}

namespace {

// The absolute form of `path` without trailing separators, and with its short names (as old
// scripts keep them) spelled long as far as it exists: the uninstaller compares paths of
// files it has just removed. False when it does not fit.
bool ComparablePath(const std::wstring& path, std::wstring* out) {
  // A \\?\ or \\.\ spelling names the same file as the plain one, which alone can be
  // compared.
  std::wstring plain = path;
  if (plain.compare(0, 4, L"\\\\?\\") == 0 || plain.compare(0, 4, L"\\\\.\\") == 0) {
    plain.erase(0, 4);
    if (CompareStringOrdinal(plain.c_str(), plain.size() < 4 ? -1 : 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL)
      plain.replace(0, 4, L"\\\\");
  }
  *out = AbsolutePath(plain);
  while (!out->empty() && IsPathSeparator(out->back())) out->pop_back();
  // From the whole path up to the last level below the root ("C:" alone would be the
  // drive's current folder).
  for (size_t end = out->size(); end != std::wstring::npos && end > 2; end = out->find_last_of(L"\\/", end - 1)) {
    wchar_t long_path[kPathChars];
    const DWORD chars = GetLongPathNameW(out->substr(0, end).c_str(), long_path, kPathChars);
    if (chars == 0 || chars >= kPathChars) continue;
    out->replace(0, end, long_path, chars);
    break;
  }
  while (!out->empty() && IsPathSeparator(out->back())) out->pop_back();
  return !out->empty();
}

}  // namespace

std::wstring AbsolutePath(const std::wstring& path) {
  wchar_t full[kPathChars];
  const DWORD chars = GetFullPathNameW(path.c_str(), kPathChars, full, nullptr);
  return chars == 0 || chars >= kPathChars ? std::wstring() : std::wstring(full, chars);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  std::wstring full_a, full_b;
  return ComparablePath(a, &full_a) && ComparablePath(b, &full_b) &&
         CompareStringOrdinal(full_a.c_str(), -1, full_b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsWithinPath(const std::wstring& path, const std::wstring& dir) {
  std::wstring full_path, full_dir;
  if (!ComparablePath(path, &full_path) || !ComparablePath(dir, &full_dir)) return false;
  if (full_path.size() > full_dir.size() && !IsPathSeparator(full_path[full_dir.size()])) return false;
  return full_path.size() >= full_dir.size() &&
         CompareStringOrdinal(full_path.c_str(), static_cast<int>(full_dir.size()), full_dir.c_str(), -1, TRUE) ==
             CSTR_EQUAL;
}

namespace {

// Full control for this user, the system and the administrators, passed on to everything
// below and nothing taken from above. A folder made below a drive's root would otherwise
// let every user of the machine change the programs in it (a stock C:\ passes on "modify"
// to all who log on), and so run code as this user. Null when it cannot be made.
class PrivateFolderSecurity {
 public:
  PrivateFolderSecurity() {
    OwnAccount owner;
    wchar_t* sid = nullptr;
    if (!owner.sid() || !ConvertSidToStringSidW(owner.sid(), &sid)) return;
    const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;") + sid + L")";
    LocalFree(sid);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))
      attributes_ = {sizeof(attributes_), descriptor_, FALSE};
  }
  ~PrivateFolderSecurity() { LocalFree(descriptor_); }
  PrivateFolderSecurity(const PrivateFolderSecurity&) = delete;
  PrivateFolderSecurity& operator=(const PrivateFolderSecurity&) = delete;

  SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// Whether the folders of `path` would keep access rules of this machine's: on a drive of its
// own whose file system keeps them. A server's share knows its own users, none of whom may
// be this one, and a removable drive is read on other machines.
bool KeepsOwnAccessRules(const std::wstring& path) {
  wchar_t volume[kPathChars] = {};
  DWORD flags = 0;
  return GetVolumePathNameW(path.c_str(), volume, kPathChars) && GetDriveTypeW(volume) == DRIVE_FIXED &&
         GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS);
}

}  // namespace

bool MakeDirectories(const std::wstring& path, bool private_first) {
  std::optional<PrivateFolderSecurity> security;
  if (private_first && KeepsOwnAccessRules(path)) security.emplace();
  // A drive or share root exists or cannot be made; start below it.
  const wchar_t* below_root = PathSkipRootW(path.c_str());
  for (size_t pos = below_root ? static_cast<size_t>(below_root - path.c_str()) : 0; pos < path.size(); ++pos) {
    if (!IsPathSeparator(path[pos]) || pos == 0 || IsPathSeparator(path[pos - 1])) continue;
    const std::wstring prefix = path.substr(0, pos);
    if (PathFileExistsW(prefix.c_str())) continue;
    // Where the private one cannot be made or is refused (a share's server may), the folder
    // is made as it would be without: the install does not fail for it.
    SECURITY_ATTRIBUTES* first = security ? security->get() : nullptr;
    const bool made = (first && CreateDirectoryW(prefix.c_str(), first)) || CreateDirectoryW(prefix.c_str(), nullptr);
    security.reset();  // the levels below take it from this one
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

uint32_t FolderLevelsBetween(const std::wstring& ancestor, const std::wstring& dir) {
  size_t end = dir.size();
  while (end > 0 && IsPathSeparator(dir[end - 1])) --end;
  size_t start = ancestor.size();
  while (start > 0 && IsPathSeparator(ancestor[start - 1])) --start;
  uint32_t levels = 0;
  for (size_t i = start; i < end; ++i) levels += IsPathSeparator(dir[i]) && !IsPathSeparator(dir[i + 1]) ? 1 : 0;
  return end > start ? levels : 0;
}

bool LeadsElsewhere(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

bool IsLink(const std::wstring& path, DWORD attributes) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  // The point's kind is in its directory entry.
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW(path.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return true;
  FindClose(find);
  return LeadsElsewhere(attributes, found.dwReserved0);
}

void RemoveEmptyFolders(std::wstring dir, uint32_t levels, bool past_missing) {
  const DWORD error = GetLastError();
  for (; levels > 0; --levels) {
    while (!dir.empty() && IsPathSeparator(dir.back())) dir.pop_back();
    const size_t slash = dir.find_last_of(L"\\/");
    if (slash == std::wstring::npos) break;
    // A level that is a link (its folder moved off the system drive, say) stays, and those
    // above it: removing a link takes it away whatever lies behind it, stranding that. A
    // synced folder's placeholder is the folder itself.
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && IsLink(dir, attributes)) break;
    if (!RemoveDirectoryW(dir.c_str())) {
      const DWORD failed = GetLastError();
      const bool missing =
          failed == ERROR_FILE_NOT_FOUND || failed == ERROR_PATH_NOT_FOUND || failed == ERROR_INVALID_NAME;
      if (!past_missing || !missing) break;
    }
    dir.resize(slash);
  }
  SetLastError(error);
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
