#pragma once
// The window's behaviour: commands, clicks, timers and the worker's reports. Painting and
// colouring live in main_window.cpp; both halves make up MainWndProc.
#include <windows.h>

#include "setup/install_control.h"

namespace kelo {

class CSetupUI;

// True when the message was handled here, with its result in *result; false sends it on
// to the window's previous procedure.
bool HandleFlowMessage(CSetupUI* ui, HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result);

// Holds back the end of the session while `installer` runs an install: the answer to
// WM_QUERYENDSESSION and WM_ENDSESSION for any top-level window of the installer's, in
// *result. False for other messages.
bool HandleSessionEnd(InstallControl* installer, HWND window, UINT message, WPARAM wparam, LRESULT* result);

// The progress view hides every control, the focused one too: the progress and finished
// views give the focus to the words over their indicator, a failure's view to the close
// button, which carries the failure's words for a screen reader and closes on Enter. Only
// while the window is active and the focus rests on nothing shown: as the window is
// activated again, the dialog manager puts the focus back where it was, and the window
// calls this once more.
void FocusViewControl(CSetupUI* ui, HWND window);

// Gives the window the rounded outline of its current height.
void SetRoundedRegion(HWND window, int height);

// The indicator picture and the bar under it, where the progress and finished views differ.
RECT IndicatorRect(const CSetupUI* ui);

// Where the progress bar lies: under the installing picture, as wide as it.
RECT ProgressBarRect(const CSetupUI* ui);

}  // namespace kelo
