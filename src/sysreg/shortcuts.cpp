#include "sysreg/shortcuts.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

#include "base/file_paths.h"
#include "base/product.h"
#include "base/win_holders.h"

namespace kelo {

namespace {

// Announcements carry the no-wait bit of SHCNF_FLUSHNOWAIT (0x2000) without SHCNF_FLUSH:
// the installer never waits for the shell to handle them.
constexpr UINT kFlushNoWaitBit = SHCNF_FLUSHNOWAIT & ~SHCNF_FLUSH;
constexpr UINT kNotifyPathNoWait = SHCNF_PATHW | kFlushNoWaitBit;

// Pins or unpins a shortcut. The shell may not offer the verb (it is absent on many
// systems); pinning is a courtesy, so its outcome is not looked at. Some shells (Wine's,
// for one) uninitialise COM on the calling thread while looking for the verb of a
// shortcut; the thread gets its apartment back, or the steps after this one could no
// longer write shortcuts.
void ApplyPinVerb(const wchar_t* verb, const std::wstring& shortcut) {
  APTTYPE apartment = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const bool had_com = SUCCEEDED(CoGetApartmentType(&apartment, &qualifier));
  const bool single = apartment == APTTYPE_STA || apartment == APTTYPE_MAINSTA;
  // Carried out before this returns, as the shell would otherwise do it on a thread of its
  // own for a thread of the multithreaded apartment, and the process may end right after.
  SHELLEXECUTEINFOW request = {};
  request.cbSize = sizeof(request);
  request.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  request.lpVerb = verb;
  request.lpFile = shortcut.c_str();
  request.nShow = SW_HIDE;
  ShellExecuteExW(&request);
  if (had_com && CoGetApartmentType(&apartment, &qualifier) == CO_E_NOTINITIALIZED) {
    CoInitializeEx(nullptr, single ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
  }
}

// Our folder in the start menu's programs folder `programs`, with a final separator.
std::wstring ProductMenuFolder(const std::wstring& programs) {
  return programs + L"\\" + kStartMenuVendorFolder + L"\\" + kProductName + L"\\";
}

// Why a file that could not be read as a shortcut may still be one of ours: another program
// holds it shared with nobody, or it is out of reach (on a share that is offline, behind a
// permission). ERROR_SUCCESS where it is missing, a folder, or readable (a file of the
// user's own).
DWORD WhyUnreadable(const std::wstring& file) {
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_SUCCESS;
  ScopedHandle probe(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  return probe.IsValid() ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

bool CreateShellLink(const wchar_t* description, const wchar_t* target, const wchar_t* file) {
  if (!target || !file) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ScopedComPtr<IShellLinkW> link;
  ScopedComPtr<IPersistFile> persist;
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.Receive());
  if (SUCCEEDED(hr)) hr = link->QueryInterface(IID_IPersistFile, persist.Receive());
  // In its full form: a directory typed with "/" (or ".") would otherwise go into the link
  // as typed, which the shell need not resolve.
  const std::wstring full_target = AbsolutePath(target);
  if (SUCCEEDED(hr)) hr = link->SetPath(full_target.empty() ? target : full_target.c_str());
  if (SUCCEEDED(hr) && description && *description) hr = link->SetDescription(description);
  // One of ours that the user made read-only or hidden (to keep the icons in place) refuses
  // being written over: it is replaced all the same, and keeps those marks.
  const DWORD attributes = GetFileAttributesW(file);
  const DWORD marks = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)
                          ? 0
                          : attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (SUCCEEDED(hr) && marks) SetFileAttributesW(file, attributes & ~marks);
  if (SUCCEEDED(hr)) hr = persist->Save(file, TRUE);
  if (marks) SetFileAttributesW(file, attributes);
  if (FAILED(hr)) {
    SetLastError(static_cast<DWORD>(hr));
    return false;
  }
  // Explorer windows showing the folder refresh only when told.
  std::wstring folder = file;
  const size_t separator = folder.find_last_of(L"\\/");
  folder.resize(separator == std::wstring::npos ? 0 : separator);
  SHChangeNotify(SHCNE_MKDIR | SHCNE_UPDATEDIR, kNotifyPathNoWait, folder.c_str(), nullptr);
  SHChangeNotify(SHCNE_CREATE, kNotifyPathNoWait, file, nullptr);
  return true;
}

int ClassifyOsVersion(DWORD platform_id, DWORD major, DWORD minor, BYTE product_type) {
  switch (platform_id) {
    case VER_PLATFORM_WIN32s:
      return 1;
    case VER_PLATFORM_WIN32_WINDOWS:
      return 2;
    case VER_PLATFORM_WIN32_NT:
      break;
    default:
      return 0;
  }
  const bool workstation = product_type == VER_NT_WORKSTATION;
  if (major <= 4) return 3;
  if (major == 5) return minor <= 2 ? 4 + static_cast<int>(minor) : 0;
  if (major != 6) return 0;
  switch (minor) {
    case 0:
      return workstation ? 7 : 8;
    case 1:
      return workstation ? 9 : 8;
    case 2:
      return workstation ? 11 : 10;
    default:
      return 0;
  }
}

int GetOsVersionCode() {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  // Deprecated because it answers 6.2 for later systems without a manifest entry for
  // them, which is exactly the answer the classification expects.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return 0;
#pragma GCC diagnostic pop
  return ClassifyOsVersion(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wProductType);
}

std::wstring ShortcutTarget(const std::wstring& file) {
  ScopedComPtr<IShellLinkW> link;
  ScopedComPtr<IPersistFile> persist;
  wchar_t target[MAX_PATH] = {};
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.Receive())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, persist.Receive())) ||
      FAILED(persist->Load(file.c_str(), STGM_READ)) || FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH)))
    return std::wstring();
  return target;
}

bool RemoveShortcuts(const std::wstring& install_dir, int os_code) {
  DWORD error = ERROR_SUCCESS;
  // Where each folder is, whether it is there or not: one out of reach now (on a share that
  // is offline) may hold shortcuts of ours, which must not be taken for gone.
  const auto look_up = [&error](int csidl, std::wstring* path) {
    if (ShellFolderPath(csidl | CSIDL_FLAG_DONT_VERIFY, path)) return true;
    error = GetLastError();
    return false;
  };
  std::wstring programs, desktop, app_data;
  const bool have_programs = look_up(CSIDL_PROGRAMS, &programs);
  const std::wstring product = ProductMenuFolder(programs);
  // A recorded location may lack its final separator.
  const std::wstring browser = ChildPath(install_dir, kBrowserExe);
  struct Link {
    std::wstring file;
    std::wstring target;
    const wchar_t* unpin;  // the verb that takes its pin away, if it was pinned
  };
  std::vector<Link> links;
  if (have_programs) {
    links.push_back({programs + L"\\" + kShortcutName, browser, nullptr});
    links.push_back({product + kShortcutName, browser, L"startunpin"});
    links.push_back({product + kUninstallShortcutName, ChildPath(install_dir, kUninstallExe), nullptr});
  }
  if (look_up(CSIDL_DESKTOPDIRECTORY, &desktop)) links.push_back({desktop + L"\\" + kAssistShortcutName, browser, nullptr});
  if (look_up(CSIDL_APPDATA, &app_data))
    links.push_back({app_data + kQuickLaunchFolder + kShortcutName, browser, L"taskbarunpin"});
  for (const Link& link : links) {
    const std::wstring target = ShortcutTarget(link.file);
    // One that cannot be read cannot be told from the user's own: it may be ours, and stays.
    if (target.empty()) {
      const DWORD unreadable = WhyUnreadable(link.file);
      if (unreadable != ERROR_SUCCESS) error = unreadable;
      continue;
    }
    if (!SamePath(target, link.target)) continue;
    if (link.unpin && os_code >= kFirstPinningOsCode) ApplyPinVerb(link.unpin, link.file);
    // A read-only mark (a user's way of keeping icons in place) does not keep a shortcut to
    // a removed browser.
    const DWORD attributes = GetFileAttributesW(link.file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      SetFileAttributesW(link.file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(link.file.c_str()))
      SHChangeNotify(SHCNE_DELETE, kNotifyPathNoWait, link.file.c_str(), nullptr);
    else
      error = GetLastError();
  }
  if (have_programs) RemoveEmptyFolders(product, 2);
  // The quick-launch step makes these where a profile has none; they go again only when
  // nothing else is in them.
  if (!app_data.empty()) RemoveEmptyFolders(app_data + kQuickLaunchFolder, 2);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

bool MakeProgramShortcuts(const std::wstring& install_dir, int os_code) {
  std::wstring programs;
  if (!ShellFolderPath(CSIDL_PROGRAMS, &programs)) return false;
  const std::wstring browser = install_dir + kBrowserExe;
  if (!CreateShellLink(kProductName, browser.c_str(), (programs + L"\\" + kShortcutName).c_str())) return false;

  // Result ignored: an existing folder is fine, and a missing one fails the next shortcut.
  const std::wstring product = ProductMenuFolder(programs);
  MakeDirectories(product);

  const std::wstring product_link = product + kShortcutName;
  if (!CreateShellLink(kProductName, browser.c_str(), product_link.c_str())) return false;
  if (!CreateShellLink(nullptr, (install_dir + kUninstallExe).c_str(), (product + kUninstallShortcutName).c_str()))
    return false;
  if (os_code >= kFirstPinningOsCode) ApplyPinVerb(L"startpin", product_link);
  return true;
}

bool MakeDesktopShortcut(const std::wstring& install_dir) {
  std::wstring desktop;
  if (!ShellFolderPath(CSIDL_DESKTOPDIRECTORY, &desktop)) return false;
  return CreateShellLink(kProductName, (install_dir + kBrowserExe).c_str(),
                         (desktop + L"\\" + kAssistShortcutName).c_str());
}

bool MakeQuickLaunchShortcut(const std::wstring& install_dir, int os_code) {
  std::wstring app_data;
  if (!ShellFolderPath(CSIDL_APPDATA, &app_data)) return false;
  const std::wstring quick_launch = app_data + kQuickLaunchFolder;
  MakeDirectories(quick_launch);
  const std::wstring link = quick_launch + kShortcutName;
  if (!CreateShellLink(kProductName, (install_dir + kBrowserExe).c_str(), link.c_str())) return false;
  if (os_code >= kFirstPinningOsCode) ApplyPinVerb(L"taskbarpin", link);
  return true;
}

}  // namespace kelo
