#include "sysreg/uninstall_entry.h"

#include <shlwapi.h>

#include <cwchar>
#include <vector>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"

namespace kelo {

namespace {

// version.dll is not among the system's known DLLs, so linking it would let a DLL of that
// name beside the downloaded installer be loaded; it is taken from System32 at run time.
class VersionApi {
 public:
  VersionApi() : module_(LoadSystemLibrary(L"version.dll")) {
    ResolveFunction(module_.Get(), "GetFileVersionInfoSizeW", &get_size_);
    ResolveFunction(module_.Get(), "GetFileVersionInfoW", &get_info_);
    ResolveFunction(module_.Get(), "VerQueryValueW", &query_);
  }
  bool IsLoaded() const { return get_size_ && get_info_ && query_; }

  DWORD(WINAPI* get_size_)(LPCWSTR, LPDWORD) = nullptr;
  BOOL(WINAPI* get_info_)(LPCWSTR, DWORD, DWORD, LPVOID) = nullptr;
  BOOL(WINAPI* query_)(LPCVOID, LPCWSTR, LPVOID*, PUINT) = nullptr;

 private:
  ScopedModule module_;
};

}  // namespace

bool ReadFileVersion(const wchar_t* path, uint32_t* major, uint32_t* minor) {
  if (!path || !*path || !major || !minor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!PathFileExistsW(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  VersionApi api;
  if (!api.IsLoaded()) return false;
  DWORD handle = 0;
  const DWORD size = api.get_size_(path, &handle);
  if (size == 0) return false;
  std::vector<BYTE> block(size);
  if (!api.get_info_(path, 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT info_size = 0;
  if (!api.query_(block.data(), L"\\", reinterpret_cast<void**>(&info), &info_size) || !info) return false;
  *major = HIWORD(info->dwFileVersionMS);
  *minor = LOWORD(info->dwFileVersionMS);
  return true;
}

bool WriteUninstallEntry(const std::wstring& install_dir, LocalTimeSource now) {
  RegKey key;
  const LONG created = key.Create(kUninstallKey, KEY_READ | KEY_WRITE);
  if (created != ERROR_SUCCESS) {
    SetLastError(created);
    return false;
  }
  // A value that cannot be written leaves the entry less complete but still usable, so
  // the write results are deliberately not looked at.
  (void)key.WriteString(L"DisplayName", kProductName);
  // Quoted: a command line with spaces in its path could otherwise start another program
  // ("D:\My.exe" for "D:\My Games\...").
  (void)key.WriteString(kUninstallStringValue, L"\"" + install_dir + kUninstallExe + L"\"");
  const std::wstring browser = install_dir + kBrowserExe;
  // The program list reads a last comma as the start of an icon index: a path with a comma
  // needs one of its own.
  (void)key.WriteString(L"DisplayIcon", browser.find(L',') == std::wstring::npos ? browser : browser + L",0");

  uint32_t major = 0, minor = 0;
  if (ReadFileVersion(browser.c_str(), &major, &minor)) {
    wchar_t version[32];
    swprintf(version, 32, L"%u.%u", major, minor);
    (void)key.WriteString(L"DisplayVersion", version);
  }

  SYSTEMTIME time = {};
  now(&time);
  wchar_t date[32];
  swprintf(date, 32, L"%4d-%2d-%2d", time.wYear, time.wMonth, time.wDay);
  (void)key.WriteString(L"InstallDate", date);

  (void)key.WriteString(L"URLInfoAbout", kProductHost);
  (void)key.WriteString(L"Publisher", kPublisher);
  (void)key.WriteString(kInstallLocationValue, install_dir);
  // Zero keeps the system's modify and repair commands available.
  (void)key.WriteDword(L"NoModify", 0);
  (void)key.WriteDword(L"NoRepair", 0);
  // The entry records where the browser is now.
  RegKey kept;
  if (kept.Open(kKeptDataKey, KEY_SET_VALUE) == ERROR_SUCCESS) {
    (void)kept.DeleteValue(kKeptDataValue);
    (void)kept.DeleteValue(kKeptDataLevelsValue);
  }
  return true;
}

void ForgetInstallFailure() {
  RegKey key;
  if (key.Open(kFailureMemoryKey, KEY_SET_VALUE) == ERROR_SUCCESS) (void)key.DeleteValue(kFailureMemoryValue);
}

bool HoldsDataFolder(const std::wstring& install_dir) {
  const DWORD attributes = GetFileAttributesW(ChildPath(install_dir, kDataDirName).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RememberKeptData(const std::wstring& install_dir, uint32_t made_levels) {
  RegKey key;
  LONG result = key.Create(kKeptDataKey, KEY_SET_VALUE);
  if (result == ERROR_SUCCESS) result = key.WriteString(kKeptDataValue, install_dir);
  if (result == ERROR_SUCCESS) result = key.WriteDword(kKeptDataLevelsValue, made_levels);
  SetLastError(result);
  return result == ERROR_SUCCESS;
}

bool KeptDataLocation(std::wstring* install_dir, uint32_t* made_levels) {
  RegKey key;
  std::wstring location;
  if (key.Open(kKeptDataKey, KEY_READ) != ERROR_SUCCESS || key.ReadString(kKeptDataValue, &location) != ERROR_SUCCESS)
    return false;
  NoDiskBoxesOnThisThread quiet;  // the card the Data was kept on may be out
  if (!HoldsDataFolder(location)) return false;
  *install_dir = location;
  DWORD levels = 0;
  if (made_levels) *made_levels = key.ReadDword(kKeptDataLevelsValue, &levels) == ERROR_SUCCESS ? levels : 0;
  return true;
}

namespace {

// Whether the entry is the one of the installation in `install_dir`: its location says so
// or, where that cannot be read or is empty (the step that writes it ended half-way, a
// cleaning tool took the value), the uninstaller it runs.
bool EntryIsOf(const std::wstring& install_dir) {
  std::wstring location, command;
  if (ReadInstallLocation(&location) == ERROR_SUCCESS && !location.empty()) return SamePath(location, install_dir);
  RegKey key;
  return key.Open(kUninstallKey, KEY_READ) == ERROR_SUCCESS &&
         key.ReadString(kUninstallStringValue, &command) == ERROR_SUCCESS && command.size() > 2 &&
         command.front() == L'"' && command.back() == L'"' &&
         SamePath(command.substr(1, command.size() - 2), install_dir + kUninstallExe);
}

}  // namespace

bool RemoveUninstallEntry(const std::wstring& install_dir) {
  if (!EntryIsOf(install_dir)) return true;
  const LONG deleted = RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  if (deleted != ERROR_SUCCESS) {
    SetLastError(deleted);
    return false;
  }
  // The list of programs the entry went into goes too when nothing else is in it: a fresh
  // profile has none, so the install made it; one that was there empty is no loss.
  const std::wstring entry = kUninstallKey;
  DeleteKeyIfEmpty(entry.substr(0, entry.rfind(L'\\')).c_str());
  return true;
}

LONG ReadInstallLocation(std::wstring* location) {
  RegKey key;
  const LONG opened = key.Open(kUninstallKey, KEY_READ);
  return opened != ERROR_SUCCESS ? opened : key.ReadString(kInstallLocationValue, location, MAX_PATH);
}

}  // namespace kelo
