#pragma once
// Starting programs and pages through the shell, the browser's first launch, and stopping
// the running programs of an installation before it is replaced.
#include <windows.h>

#include <string>

namespace kelo {

// Starts a program or opens an address through the shell, without waiting, showing it as
// `show` asks (SW_...), in `directory` (null: the system folder, not this program's current
// one, the downloads folder as a rule, where a library planted beside the installer would
// be found by the started program's search). `parameters` may be null. Where it cannot be
// opened, the shell says so in a box owned by `error_owner`; without one, in none. True
// when the shell accepted the request.
bool ShellOpen(const wchar_t* file, const wchar_t* parameters, int show, HWND error_owner = nullptr,
               const wchar_t* directory = nullptr);

// A copy of the browser or its updater runs (their named objects exist).
bool IsBrowserRunning();

// Whether an install should stop the running browser first, as the running-browser warning
// promises: only possible for a copy of a recorded installation; without one the stop
// step would fail the whole install.
bool ShouldStopRunningBrowser(bool browser_running);

// Starts the browser of the installation in `install_dir` (which ends with a separator),
// with the first-run argument for a new user.
bool LaunchBrowser(const std::wstring& install_dir, bool new_user);

// Ends every running browser, web helper and updater whose program is the one in
// `location` (with or without a final separator). False when one of them outlived its
// termination (ERROR_TIMEOUT) or may not be ended (the refusal's error, as for one started
// with more rights); the others are still ended.
bool StopInstalledPrograms(const std::wstring& location);

}  // namespace kelo
