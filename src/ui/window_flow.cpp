#include "ui/window_flow.h"

#include <objbase.h>
#include <shlobj.h>
#include <windowsx.h>

#include <string>

#include "base/product.h"
#include "base/reg_key.h"
#include "setup/extract_payload.h"
#include "setup/install_control.h"
#include "sysreg/install_dir.h"
#include "sysreg/launch.h"
#include "sysreg/uninstall_entry.h"
#include "ui/setup_ui.h"

namespace kelo {

namespace {

constexpr REGSAM kFailureMemoryAccess = KEY_READ | KEY_WRITE;
constexpr UINT kBrowseFlags = BIF_NEWDIALOGSTYLE | BIF_DONTGOBELOWDOMAIN;

void Show(HWND window, bool visible) {
  if (window) ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

// Draws the progress and finished views' changes again.
void InvalidateIndicator(const CSetupUI* ui) {
  const RECT rect = IndicatorRect(ui);
  InvalidateRect(ui->main_window, &rect, FALSE);
}

// Keeps left, top and width.
void SetWindowHeight(HWND window, int height) {
  RECT rect;
  GetWindowRect(window, &rect);
  MoveWindow(window, rect.left, rect.top, rect.right - rect.left, height, TRUE);
}

// A window's screen rectangle holds the point, and the window is visible.
bool Hits(HWND window, POINT screen) {
  RECT rect;
  return window && IsWindowVisible(window) && GetWindowRect(window, &rect) && PtInRect(&rect, screen);
}

// The feedback link's control follows its words, which rise in the expanded view, and shows
// while they do.
void PlaceFeedbackLink(const CSetupUI* ui) {
  if (!ui->feedback_link) return;
  const POINT at = FailureTextPos(kFeedbackLinkPos, ui->expanded);
  SetWindowPos(ui->feedback_link, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Show(ui->feedback_link, ui->failure_feedback);
}

void Toggle(const CSetupUI* ui, int box_id) {
  HWND box = ui->Control(box_id);
  if (!box) return;
  SendMessageW(box, BM_SETCHECK, SendMessageW(box, BM_GETCHECK, 0, 0) == 0 ? 1 : 0, 0);
}

// What the window's end tells main: whether the install it showed failed.
int WindowExitCode(const CSetupUI* ui) { return ui->install_failed ? kExitInstallFailed : kExitSuccess; }

// ---- Commands ----

// The directory field's whole text: what the field's limit does not hold back (set from the
// command line) is refused by the check, not checked or installed into cut short.
std::wstring DirFieldText(const CSetupUI* ui) { return WindowText(ui->dir_field); }

void CheckDirectory(CSetupUI* ui) {
  const DirCheck check = ValidateDirText(DirFieldText(ui), StagedPayloadReach());
  ui->dir_valid = check.valid;
  // The quick-install button also waits for the browser to end; install-now, which ends
  // it, follows the directory alone: it would otherwise start an install into a directory
  // the check has just refused.
  const auto enable = [ui](int id, bool enabled) {
    CImageButton* button = ui->Button(id);
    if (!button) return;
    // A focused button disabled leaves no focus at all, and the keyboard nothing to move:
    // the focus goes on to the next control first.
    if (!enabled && GetFocus() == button->window()) SendMessageW(ui->main_window, WM_NEXTDLGCTL, 0, FALSE);
    button->SetEnabled(enabled);
  };
  enable(kIdQuickInstall, !ui->running && ui->dir_valid);
  enable(kIdInstallNow, ui->dir_valid);
  // The words are the field's description for screen readers, said again only when they
  // change (each key typed runs the check); drawn again always, for the field's own
  // drawing covers them.
  const bool changed = WindowText(ui->status_label) != check.message;
  SetWindowTextW(ui->status_label, check.message.c_str());
  if (changed) NotifyWinEvent(EVENT_OBJECT_DESCRIPTIONCHANGE, ui->dir_field, OBJID_CLIENT, CHILDID_SELF);
  const RECT place = ui->PlaceOf(ui->status_label);
  if (!IsRectEmpty(&place)) InvalidateRect(ui->main_window, &place, FALSE);
}

void Install(CSetupUI* ui, HWND window) {
  if (!ui->IsChecked(kIdLicenceBox)) return;
  // One run at a time: a double click, or install-now posting behind a click, must not
  // start a second worker on the step list the first one is reading.
  if (ui->installing || ui->finished) return;
  // Never into a directory the check refused (install-now posts this command too).
  if (!ui->dir_valid || !ui->installer) return;
  const std::wstring dir = DirFieldText(ui);
  InstallOptions options;
  options.default_browser = ui->IsChecked(kIdDefaultBrowserBox);
  options.desktop_shortcut = ui->IsChecked(kIdDesktopShortcutBox);
  options.taskbar_pin = ui->IsChecked(kIdTaskbarBox);
  options.stop_running_first = ShouldStopRunningBrowser(ui->running);
  const bool started = ui->installer->StartInstall(dir.c_str(), options, window);
  // Another try after a failure (the expanded view's controls come back with it): what
  // the failure showed goes, from the screen too.
  if (ui->install_failed) InvalidateRect(window, nullptr, FALSE);
  ui->install_failed = ui->failure_advice = ui->failure_feedback = ui->failure_damaged = false;
  if (CImageButton* close = ui->Button(kIdClose)) close->SetDescription(std::wstring());

  KillTimer(window, TIMER_RUNNING_CHECK);
  SetTimer(window, TIMER_SHRINK, kShrinkPeriodMs, nullptr);
  // Set first: hiding the focused button draws the next one, and that must find the
  // progress view already chosen.
  ui->installing = true;
  ui->progress_permille = 0;
  for (int id : CSetupUI::kButtonIds) Show(ui->Control(id), false);
  for (int id : CSetupUI::kCheckBoxIds) Show(ui->Control(id), false);
  for (HWND label : ui->labels) Show(label, false);
  PlaceFeedbackLink(ui);
  Show(ui->dir_field, false);
  Show(ui->status_label, false);
  Show(ui->warning_label, false);
  SetWindowTextW(ui->progress_words, kInstallingWords);
  Show(ui->progress_words, true);
  FocusViewControl(ui, window);
  InvalidateIndicator(ui);
  // No worker, no report: fail now rather than show the progress view for ever.
  if (!started) PostMessageW(window, WM_SETUP_STEP, kStepExtractPayload, static_cast<LPARAM>(-1));
}

void Expand(CSetupUI* ui, HWND window) {
  if (!ui->IsChecked(kIdLicenceBox)) return;
  Show(ui->Control(kIdExpand), false);
  // A failure's words rise in this view to where the quick-install button stands: another
  // try goes through install-now, below them.
  if (ui->ShowsFailure()) Show(ui->Control(kIdQuickInstall), false);
  ui->expanded = true;
  PlaceFeedbackLink(ui);
  SetRoundedRegion(window, kExpandedHeight);
  SetWindowHeight(window, kExpandedHeight);
  InvalidateRect(window, nullptr, TRUE);
}

void Collapse(CSetupUI* ui, HWND window) {
  Show(ui->Control(kIdCollapse), false);
  for (int id : {kIdQuickInstall, kIdExpand}) Show(ui->Control(id), true);
  Show(ui->Control(kIdLicenceBox), true);
  Show(ui->Label(kIdLicenceLabel), true);
  ui->expanded = false;
  PlaceFeedbackLink(ui);
  SetRoundedRegion(window, kCollapsedHeight);
  SetWindowHeight(window, kCollapsedHeight);
  InvalidateRect(window, nullptr, TRUE);
}

void Browse(CSetupUI* ui, HWND window) {
  // The new-style folder picker needs COM on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BROWSEINFOW info = {};
  info.hwndOwner = window;
  info.lpszTitle = kBrowseDirTitle;
  info.ulFlags = kBrowseFlags;
  PIDLIST_ABSOLUTE folder = SHBrowseForFolderW(&info);
  if (folder) {
    wchar_t path[kDirFieldChars] = {};
    if (SHGetPathFromIDListW(folder, path)) {
      AppendProductFolder(path);
      SetWindowTextW(ui->dir_field, path);  // runs the directory check
    }
    CoTaskMemFree(folder);
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

bool OnCommand(CSetupUI* ui, HWND window, WPARAM wparam) {
  const int id = LOWORD(wparam);
  switch (id) {
    case IDOK: {  // Enter: what the view's install button does, when it is there to press
      // An owner-drawn button is no push button to the dialog manager, which sends IDOK for
      // Enter on it too: a focused button is pressed, as the mouse would press it.
      HWND focus = GetFocus();
      const CImageButton* focused = focus ? ui->Button(GetDlgCtrlID(focus)) : nullptr;
      if (focused && focused->window() == focus) {
        if (focused->enabled() && IsWindowVisible(focus)) OnCommand(ui, window, GetDlgCtrlID(focus));
        return true;
      }
      const int id = ui->expanded ? kIdInstallNow : kIdQuickInstall;
      const CImageButton* button = ui->Button(id);
      if (ui->installing || ui->finished || !button || !button->enabled() || !IsWindowVisible(button->window()))
        return true;
      return OnCommand(ui, window, id);
    }
    case IDCANCEL:  // Esc: close, but never under a running install
      if (!ui->installing) SendMessageW(window, WM_CLOSE, 0, 0);
      return true;
    case kIdClose:
      SendMessageW(window, WM_CLOSE, 0, 0);
      return true;
    case kIdQuickInstall:
      Install(ui, window);
      return true;
    case kIdExpand:
      Expand(ui, window);
      return true;
    case kIdBrowse:
      Browse(ui, window);
      return true;
    case kIdLicenceLabel:
    case kIdFeedbackLink: {
      // A page is opened to be read: the window, kept above all others, would cover it.
      // Where none opens, the window goes on as it was.
      const HWND place = (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) ? HWND_TOPMOST : HWND_NOTOPMOST;
      SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      if (!ShellOpen(id == kIdLicenceLabel ? kLicenceUrl : kForumUrl, nullptr, SW_SHOWNORMAL, window))
        SetWindowPos(window, place, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      return true;
    }
    case kIdInstallNow:
      PostMessageW(window, WM_COMMAND, kIdCollapse, 0);
      PostMessageW(window, WM_COMMAND, kIdQuickInstall, 0);
      return true;
    case kIdCollapse:
      Collapse(ui, window);
      return true;
    case kIdDesktopShortcutBox:
    case kIdTaskbarBox:
    case kIdDefaultBrowserBox:
    case kIdLicenceBox:
    case kIdExperienceBox:
      Toggle(ui, id);
      return true;
    case kIdDirField:
      if (HIWORD(wparam) != EN_CHANGE) return false;
      CheckDirectory(ui);
      return true;
  }
  return false;
}

// ---- Mouse ----

POINT ClientPoint(LPARAM lparam) { return POINT{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)}; }

POINT ToScreen(HWND window, POINT client) {
  ClientToScreen(window, &client);
  return client;
}

// The hand shows over what a click opens: the licence words and the feedback link.
bool OverLink(const CSetupUI* ui, HWND window, POINT client) {
  const POINT screen = ToScreen(window, client);
  return Hits(ui->Label(kIdLicenceLabel), screen) || Hits(ui->feedback_link, screen);
}

bool OnMouseMove(CSetupUI* ui, HWND window, LPARAM lparam) {
  const POINT client = ClientPoint(lparam);
  if (OverLink(ui, window, client)) {
    SetCursor(ui->HandCursor());
    return true;
  }
  return ui->failure_feedback;
}

// Between mouse moves the system would put the class arrow back; keep the hand where a
// click opens a page.
bool OnSetCursor(CSetupUI* ui, HWND window, WPARAM wparam, LPARAM lparam) {
  if (LOWORD(lparam) != HTCLIENT || reinterpret_cast<HWND>(wparam) != window) return false;
  POINT client;
  GetCursorPos(&client);
  ScreenToClient(window, &client);
  if (!OverLink(ui, window, client)) return false;
  SetCursor(ui->HandCursor());
  return true;
}

void OnLeftButton(CSetupUI* ui, HWND window, LPARAM lparam) {
  const POINT client = ClientPoint(lparam);
  const POINT screen = ToScreen(window, client);
  for (HWND link : {ui->Label(kIdLicenceLabel), ui->feedback_link}) {
    if (Hits(link, screen)) {
      OnCommand(ui, window, GetDlgCtrlID(link));
      return;
    }
  }
  static constexpr struct {
    int label;
    int box;
  } kOptionWords[] = {{kIdDefaultBrowserLabel, kIdDefaultBrowserBox},
                      {kIdDesktopShortcutLabel, kIdDesktopShortcutBox},
                      {kIdTaskbarLabel, kIdTaskbarBox}};
  for (const auto& words : kOptionWords) {
    if (Hits(ui->Label(words.label), screen)) {
      Toggle(ui, words.box);
      return;
    }
  }
  SendMessageW(window, WM_SYSCOMMAND, kDragCommand, lparam);
  // Closed from within the system's move loop (Alt+F4, the finished view's timer): the loop
  // may end on the quit message and not hand it on, which would leave main waiting for ever.
  if (!IsWindow(window)) PostQuitMessage(WindowExitCode(ui));
}

// ---- Timers ----

void CheckRunning(CSetupUI* ui) {
  const bool running = IsBrowserRunning();
  if (running == ui->running) return;
  ui->running = running;
  ShowWindow(ui->warning_label, running ? SW_SHOWNORMAL : SW_HIDE);
  // The warning is painted: screen readers get it with the buttons that would end the
  // browser, and as an alert when it comes.
  for (int id : {kIdQuickInstall, kIdInstallNow})
    if (CImageButton* button = ui->Button(id)) button->SetDescription(running ? kRunningWarning : L"");
  if (running) NotifyWinEvent(EVENT_SYSTEM_ALERT, ui->warning_label, OBJID_CLIENT, CHILDID_SELF);
}

void Shrink(const CSetupUI* ui, HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int height = rect.bottom - rect.top;
  if (height <= kCollapsedHeight) {
    KillTimer(window, TIMER_SHRINK);
    SetRoundedRegion(window, kCollapsedHeight);
    return;
  }
  SetWindowHeight(window, height - kShrinkStep > kCollapsedHeight ? height - kShrinkStep : kCollapsedHeight);
  // A failure during the shrink brought the controls back for the height of then: drawn
  // now, they follow the new lower edge before anything else is handled.
  if (ui->install_failed) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

bool OnTimer(CSetupUI* ui, HWND window, WPARAM timer) {
  switch (timer) {
    case TIMER_RUNNING_CHECK:
      CheckRunning(ui);
      return true;
    case TIMER_SHRINK:
      Shrink(ui, window);
      return true;
    case TIMER_CLOSE:
      KillTimer(window, TIMER_CLOSE);
      DestroyWindow(window);
      return true;
  }
  return false;
}

// ---- The worker's reports ----

void OnStepFailed(CSetupUI* ui, HWND window) {
  // First: the focus on it would stay there, and not go to the close button.
  Show(ui->progress_words, false);
  ui->installing = false;
  ui->finished = false;
  ui->install_failed = true;
  ui->failure_damaged = ui->installer && ui->installer->PayloadDamaged();
  // A later step may fail after the finished view came up: the failure stays on screen.
  KillTimer(window, TIMER_CLOSE);
  // The worker has stopped: a logoff held for the install is held no longer.
  ShutdownBlockReasonDestroy(window);
  // From the expanded view, whose controls come back, another try may follow: it needs to
  // know whether the browser runs now, and the user needs the warning again. The collapsed
  // view's failure offers only the close button.
  if (ui->expanded) {
    SetTimer(window, TIMER_RUNNING_CHECK, kRunningCheckPeriodMs, nullptr);
    Show(ui->warning_label, ui->running);
  }
  Show(ui->Control(kIdClose), true);
  RegKey key;
  DWORD failures = 0;
  const bool repeated = key.Open(kFailureMemoryKey, kFailureMemoryAccess) == ERROR_SUCCESS &&
                        key.ReadDword(kFailureMemoryValue, &failures) == ERROR_SUCCESS && failures != 0;
  if (repeated) {
    // A damaged installer's words take the feedback link's place: no link lies under them.
    ui->failure_feedback = !ui->failure_damaged;
  } else {
    if (key.Create(kFailureMemoryKey, kFailureMemoryAccess) == ERROR_SUCCESS)
      (void)key.WriteDword(kFailureMemoryValue, 1);
    ui->failure_advice = true;
  }
  // The failure's words are painted: screen readers get them with the close button, the
  // one control every failure view shows.
  std::wstring said = ui->failure_damaged  ? std::wstring(kDamagedText1) + kDamagedText2
                      : ui->failure_feedback ? std::wstring(kFailureTitle) + L"，" + kFeedbackLink
                                             : std::wstring(kFailureAdvice1) + kFailureAdvice2 + kFailureAdvice3;
  if (ui->installer && !ui->installer->LogPath().empty()) said += L" " + (kLogLinePrefix + ui->installer->LogPath());
  if (CImageButton* close = ui->Button(kIdClose)) close->SetDescription(said);
  PlaceFeedbackLink(ui);
  InvalidateRect(window, nullptr, FALSE);
  FocusViewControl(ui, window);
}

void OnRegistered(CSetupUI* ui, HWND window) {
  ui->installing = false;
  ui->finished = true;
  ui->install_failed = false;
  InvalidateIndicator(ui);
  SetWindowTextW(ui->progress_words, kFinishedWords);
  SetTimer(window, TIMER_CLOSE, kCloseDelayMs, nullptr);
  ForgetInstallFailure();
}

}  // namespace

void FocusViewControl(CSetupUI* ui, HWND window) {
  HWND control = ui->install_failed ? ui->Control(kIdClose)
                 : ui->installing || ui->finished ? ui->progress_words
                                                  : nullptr;
  HWND focus = GetFocus();
  // The window itself keeps the focus when no control is left to take it: that is none.
  if (!control || GetActiveWindow() != window || (focus && focus != window && IsWindowVisible(focus))) return;
  SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

RECT IndicatorRect(const CSetupUI* ui) {
  const RECT bar = ProgressBarRect(ui);
  return RECT{ui->indicator.x, ui->indicator.y, bar.right, bar.bottom};
}

RECT ProgressBarRect(const CSetupUI* ui) {
  // The picture's header is enough: the window asks before the picture is needed.
  const SIZE size = ui->Skin(kImageInstalling)->Size();
  const int top = ui->indicator.y + size.cy + kProgressBarGap;
  return RECT{ui->indicator.x, top, ui->indicator.x + size.cx, top + kProgressBarHeight};
}

void SetRoundedRegion(HWND window, int height) {
  // One pixel more than the window each way: the region's right and bottom edges are
  // exclusive.
  HRGN region = CreateRoundRectRgn(0, 0, kWindowWidth + 1, height + 1, kRegionCorner, kRegionCorner);
  if (!region) return;
  if (!SetWindowRgn(window, region, TRUE)) DeleteObject(region);
}

bool HandleSessionEnd(InstallControl* installer, HWND window, UINT message, WPARAM wparam, LRESULT* result) {
  *result = 0;
  if (message == WM_QUERYENDSESSION) {
    // An install cut off by the end of the session leaves a folder that only the next run
    // of the installer settles, and no uninstall entry: the session waits for it, and the
    // system tells the user why.
    if (!installer || !installer->WorkerRunning()) {
      ShutdownBlockReasonDestroy(window);
      *result = TRUE;
    } else {
      ShutdownBlockReasonCreate(window, kInstallingBlockReason);
    }
    return true;
  }
  if (message != WM_ENDSESSION) return false;
  // Ended all the same (a forced logoff): the worker gets what time the system gives.
  if (wparam && installer) installer->WaitForWorker();
  return true;
}

bool HandleFlowMessage(CSetupUI* ui, HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  *result = 0;
  switch (message) {
    case WM_COMMAND:
      // Hiding the focused button leaves the focus on a hidden control when no control is
      // left to take it (the progress view): its Space presses nothing. The field reports
      // its changes while hidden, and posted commands name no control.
      if (lparam && reinterpret_cast<HWND>(lparam) != ui->dir_field && !IsWindowVisible(reinterpret_cast<HWND>(lparam)))
        return true;
      return OnCommand(ui, window, wparam);
    case WM_TIMER:
      return OnTimer(ui, window, wparam);
    case WM_MOUSEMOVE:
      return OnMouseMove(ui, window, lparam);
    case WM_SETCURSOR:
      if (!OnSetCursor(ui, window, wparam, lparam)) return false;
      *result = TRUE;
      return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      OnLeftButton(ui, window, lparam);
      return true;
    case WM_SETUP_PROGRESS: {
      if (!ui->installing) return true;
      const int percent = ui->progress_permille / 10;
      ui->progress_permille = static_cast<int>(wparam > 1000 ? 1000 : wparam);
      InvalidateIndicator(ui);
      if (ui->progress_permille / 10 != percent)
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, ui->progress_words, OBJID_CLIENT, CHILDID_SELF);
      return true;
    }
    case WM_SYSCOMMAND:
      // Alt+F4 is Esc's twin: it closes, but never under a running install. A WM_CLOSE sent
      // by another program still ends the window.
      return (wparam & 0xFFF0) == SC_CLOSE && ui->installing;
    case WM_SETUP_STEP:
      if (static_cast<LONG_PTR>(lparam) == -1) {
        OnStepFailed(ui, window);
      } else if (wparam == kStepRegisterUninstall) {
        OnRegistered(ui, window);
      }
      return true;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      return HandleSessionEnd(ui->installer, window, message, wparam, result);
    case WM_CLOSE:
      DestroyWindow(window);
      return true;
    case WM_DESTROY:
      for (UINT_PTR timer = TIMER_RUNNING_CHECK; timer <= TIMER_CLOSE; ++timer) KillTimer(window, timer);
      PostQuitMessage(WindowExitCode(ui));
      return false;
  }
  return false;
}

}  // namespace kelo
