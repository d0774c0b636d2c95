#include "sysreg/install_dir.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "base/device_name.h"
#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "base/utf8.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

namespace {

constexpr DWORD kAllWriteBits = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES;
constexpr uint64_t kMinFreeBytes = 16ull << 20;
constexpr uint64_t kGigabyte = 1ull << 30;

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Whether a folder name in `path` ends so that Windows makes the folder under another name
// than the paths leading through it use: it drops all the last spaces and dots of the name
// it makes, but only one final dot from a name a path passes through. Nothing installed
// there could be found again. "." and ".." are steps, not names.
bool HasFolderNameWindowsChanges(const wchar_t* path) {
  for (const wchar_t* name = path; *name;) {
    const wchar_t* end = name;
    while (*end && !IsPathSeparator(*end)) ++end;
    const size_t length = end - name;
    const bool step = (length == 1 || length == 2) && wcsspn(name, L".") == length;
    if (!step && length > 0 &&
        (end[-1] == L' ' || (end[-1] == L'.' && length > 1 && (end[-2] == L' ' || end[-2] == L'.'))))
      return true;
    name = *end ? end + 1 : end;
  }
  return false;
}

// Whether every name in `path` can be a folder's: none holds a control character, which
// Windows takes in no name, none that the install makes, nor the directory's own, is one a
// path ending in it opens a device for ("D:\Games\NUL"; a folder on the way that exists
// is passed through, as "C:\Users\con.smith\AppData" is), and no file stands where a
// folder must be (the directory itself, or one on its way). Such a directory would pass
// every other check and fail only once the install began, after the running browser had
// been ended for it.
bool NamesFolders(const wchar_t* path) {
  for (const wchar_t* c = path; *c; ++c)
    if (*c < L' ') return false;
  const std::wstring nearest = NearestExistingDir(path);
  std::wstring dir = path;
  while (!dir.empty() && IsPathSeparator(dir.back())) dir.pop_back();
  for (const wchar_t* name = dir.c_str(); *name;) {
    const wchar_t* end = name;
    while (*end && !IsPathSeparator(*end)) ++end;
    const bool made_or_own = static_cast<size_t>(end - dir.c_str()) > nearest.size() || !*end;
    if (made_or_own && IsDeviceName(Utf8(name, end - name))) return false;
    name = *end ? end + 1 : end;
  }
  const DWORD attributes = GetFileAttributesW(nearest.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether everything the install makes below `path` stays within Windows' path limits.
bool ReachFits(const wchar_t* path, const PathReach& reach) {
  if (reach.file_chars == 0 && reach.folder_chars == 0) return true;
  const size_t length = wcslen(path);
  const size_t base = length + (length > 0 && IsPathSeparator(path[length - 1]) ? 0 : 1);
  return base + reach.file_chars < kPathChars && base + reach.folder_chars < kPathChars - 12;
}

}  // namespace

// One level for each separator of the default path but its last.
static_assert(
    [] {
      uint32_t separators = 0;
      for (const wchar_t* c = kDefaultDirSuffix; *c; ++c) separators += *c == L'\\';
      return separators - 1;
    }() == kProductsOwnFolderLevels,
    "the product's own folder levels are those its default path adds");

bool IsProductsOwnFolder(const std::wstring& dir) {
  std::wstring local;
  if (!ShellFolderPath(CSIDL_LOCAL_APPDATA, &local) || !SamePath(dir, local + kDefaultDirSuffix)) return false;
  // Each folder level the default path adds ("\Kelo", "\Kelo\KeloBrowser"), made by now: one
  // that cannot be looked at may be a link too.
  const std::wstring suffix = kDefaultDirSuffix;
  for (size_t end = suffix.find(L'\\', 1); end != std::wstring::npos; end = suffix.find(L'\\', end + 1)) {
    const DWORD attributes = GetFileAttributesW((local + suffix.substr(0, end)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  }
  return true;
}

bool DefaultInstallDir(std::wstring* dir) {
  if (!dir) return false;
  // A re-installation goes where the last one went, exactly as it was recorded.
  std::wstring stored;
  if (ReadInstallLocation(&stored) == ERROR_SUCCESS) {
    *dir = stored;
    return true;
  }
  // After an uninstall that kept Data, the next install goes where the profile waits.
  if (KeptDataLocation(dir)) return true;
  std::wstring local;
  if (!ShellFolderPath(CSIDL_LOCAL_APPDATA, &local)) return false;
  *dir = local + kDefaultDirSuffix;
  return true;
}

bool IsValidInstallPath(const wchar_t* path) {
  if (!path) return false;
  const size_t length = wcslen(path);
  if (length < 3 || length > MAX_PATH) return false;
  if (!IsAsciiLetter(path[0]) || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
  return wcspbrk(path + 3, L":*?\"<>|") == nullptr;
}

std::wstring NearestExistingDir(const wchar_t* path) {
  if (!path) return std::wstring();
  wchar_t buffer[kDirFieldChars] = {};
  lstrcpynW(buffer, path, kDirFieldChars);
  // The shell's path helpers only know "\"; a path typed with "/" would otherwise lose
  // all its folders at once and be judged by the drive's current directory.
  std::replace(buffer, buffer + kDirFieldChars, L'/', L'\\');
  while (!PathFileExistsW(buffer) && PathRemoveFileSpecW(buffer)) {
  }
  return buffer;
}

bool DaclAllowsWriting(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) return false;
  // No list at all grants everyone everything.
  if (!acl) return true;
  ACL_SIZE_INFORMATION size = {};
  if (!GetAclInformation(acl, &size, sizeof(size), AclSizeInformation)) return false;
  if (!present || size.AceCount == 0) return true;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    if ((static_cast<const ACCESS_DENIED_ACE*>(ace)->Mask & kAllWriteBits) == kAllWriteBits) {
      SetLastError(ERROR_SUCCESS);  // a denial, not a failure to look
      return false;
    }
  }
  return true;
}

bool IsDirWritable(const wchar_t* path) {
  if (!path || !*path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::wstring dir = NearestExistingDir(path);
  DWORD needed = 0;
  if (!GetFileSecurityW(dir.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed) &&
      GetLastError() == ERROR_ACCESS_DENIED)
    return false;
  std::vector<BYTE> descriptor(needed);
  if (needed == 0 ||
      !GetFileSecurityW(dir.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
    return false;
  return DaclAllowsWriting(descriptor.data());
}

bool QueryFreeSpace(const wchar_t* root, uint64_t* bytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(root, &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

DirCheck ValidateInstallDir(const wchar_t* path, const PathReach& reach, FreeSpaceQuery free_space) {
  const auto refuse = [](const wchar_t* message, std::wstring cause, DWORD error = ERROR_SUCCESS) {
    if (error != ERROR_SUCCESS) cause += L", error " + std::to_wstring(error);
    return DirCheck{false, message, cause};
  };
  if (!IsValidInstallPath(path))
    return refuse(kDirBadFormText, L"no folder path on a drive letter, or a character Windows takes in no name");
  if (HasFolderNameWindowsChanges(path))
    return refuse(kDirBadFormText, L"a folder name ends in a space or dot, which Windows drops");
  if (!ReachFits(path, reach)) return refuse(kDirBadFormText, L"too long for the payload's longest path");
  NoDiskBoxesOnThisThread quiet;  // a drive without its disk is refused, not asked for
  if (!NamesFolders(path))
    return refuse(kDirBadFormText, L"a name that opens a device, holds a control character, or is a file's");
  if (!IsDirWritable(path)) {
    const DWORD error = GetLastError();
    return refuse(kDirNotWritableText,
                  error == ERROR_SUCCESS ? L"its permissions deny writing" : L"its permissions cannot be read", error);
  }
  // The form test made the first three characters a drive root; the directory itself
  // usually does not exist yet, so its drive is what counts.
  const std::wstring root(path, 3);
  uint64_t bytes = 0;
  SetLastError(ERROR_SUCCESS);
  if (!free_space(root.c_str(), &bytes))
    return refuse(kDiskUnknownText, L"the drive's free space cannot be read", GetLastError());
  if (bytes < kMinFreeBytes) return refuse(kDiskTooFullText, std::to_wstring(bytes) + L" bytes free");
  DirCheck check;
  check.valid = true;
  wchar_t text[64];
  if (bytes >= kGigabyte)
    swprintf(text, 64, kFreeSpaceGbFormat, static_cast<double>(bytes) / 1024 / 1024 / 1024);
  else
    swprintf(text, 64, kFreeSpaceMbFormat, static_cast<double>(bytes) / 1024 / 1024);
  check.message = text;
  return check;
}

DirCheck ValidateDirText(const std::wstring& text, const PathReach& reach) {
  if (text.size() > kDirFieldChars - 2) return DirCheck{false, kDirBadFormText, L"longer than the field takes"};
  return ValidateInstallDir(text.c_str(), reach);
}

void AppendProductFolder(wchar_t (&buffer)[kDirFieldChars]) {
  const size_t length = wcsnlen(buffer, kDirFieldChars);
  if (length == kDirFieldChars) return;
  // Cut to fit: the field takes no more than the buffer holds.
  lstrcpynW(buffer + length, kBrowsedDirSuffix, static_cast<int>(kDirFieldChars - length));
}

}  // namespace kelo
