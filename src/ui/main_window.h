#pragma once
// The installer's one window: a borderless, always-on-top popup drawn from the skin, with
// a collapsed view (quick install, licence box), an expanded view (directory, options),
// and the progress, finished and failure views of an installation.
#include <windows.h>

#include <string>

namespace kelo {

class InstallControl;

// Starts decoding the pictures of the first view, to be ready when it is first painted.
void DecodeFirstViewAhead();

// Builds the window and every control, proposes the install directory, shows the window
// and starts the running-browser check. The window starts installs through `installer`.
// 1 when the window was created and shown.
int CreateMainWindow(InstallControl* installer);

// Puts `dir` into the directory field in place of the proposal (/D= on the command line),
// checked as anything typed there is.
void ProposeInstallDir(const std::wstring& dir);

// The keyboard for the window, from the message loop: Tab and Shift+Tab between the
// visible controls, Space on the focused one, Enter to install, Esc to close. True when
// the message was the window's and is handled.
bool HandleWindowKeys(MSG* message);

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK DirEditProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace kelo
