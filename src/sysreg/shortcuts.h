#pragma once
// Shortcuts to the browser in the start menu, on the desktop and in the quick-launch
// folder, and their pins on systems that offer pinning.
#include <windows.h>

#include <string>

namespace kelo {

// Writes one shortcut file through the shell-link object and announces it to the shell.
// `description` may be null or empty (then none is set). COM must be initialised on the
// calling thread. On failure the last error holds the failing HRESULT (or 87 when
// `target` or `file` is null).
bool CreateShellLink(const wchar_t* description, const wchar_t* target, const wchar_t* file);

// The running system as a number: 0 unknown, 1 Win32s, 2 the 9x family, 3 NT 4 or older,
// 4 to 6 NT 5.0 to 5.2, 7 Vista, 8 the servers of 6.0 and 6.1, 9 Windows 7, 10 and 11 the
// server and workstation of 6.2 (where later systems report themselves to this program).
int ClassifyOsVersion(DWORD platform_id, DWORD major, DWORD minor, BYTE product_type);
int GetOsVersionCode();

// Pins exist from Vista on.
inline constexpr int kFirstPinningOsCode = 7;

// The work of the shortcut steps for the installation in `install_dir` (which ends with a
// separator), pinning as `os_code` allows. False when a folder cannot be looked up or a
// shortcut cannot be written; folder creation and pins never fail a step.
bool MakeProgramShortcuts(const std::wstring& install_dir, int os_code);
bool MakeDesktopShortcut(const std::wstring& install_dir);
bool MakeQuickLaunchShortcut(const std::wstring& install_dir, int os_code);

// The program a shortcut file starts; empty when it cannot be read. COM must be
// initialised on the calling thread.
std::wstring ShortcutTarget(const std::wstring& file);

// Takes away the shortcuts and pins the steps above made for the installation in
// `install_dir`, and the start-menu folders they leave empty. A shortcut of that name that
// starts something else (another installation's) stays. COM must be initialised. False,
// with the last error set, when a shortcut of this installation could not be deleted.
bool RemoveShortcuts(const std::wstring& install_dir, int os_code);

}  // namespace kelo
