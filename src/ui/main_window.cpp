#include "ui/main_window.h"

#include <string>
#include <utility>

#include "base/module.h"
#include "base/product.h"
#include "base/win_holders.h"
#include "setup/install_control.h"
#include "sysreg/install_dir.h"
#include "ui/control_accessible.h"
#include "ui/setup_ui.h"
#include "ui/skin.h"
#include "ui/window_flow.h"

namespace kelo {

namespace {

constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kFieldStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr int kFieldLimitChars = 260;

// Each control's name is the words a person sees on or beside it: screen readers say it.
struct ButtonPlace {
  int id;
  int image;
  POINT position;
  const wchar_t* name;
};
constexpr ButtonPlace kButtonPlaces[] = {
    {kIdClose, kImageClose, {565, 0}, kCloseButtonName},
    {kIdQuickInstall, kImageQuickInstall, {214, 234}, kQuickInstallButtonName},
    {kIdInstallNow, kImageInstallNow, {352, 405}, kInstallNowButtonName},
    {kIdCollapse, kImageCollapse, {507, 372}, kCollapseButtonName},
    {kIdBrowse, kImageBrowse, {510, 315}, kBrowseButtonName},
    {kIdExpand, kImageExpand, {507, 372}, kExpandButtonName},
};

struct CheckBoxPlace {
  int id;
  POINT position;
  const wchar_t* name;
};
constexpr CheckBoxPlace kCheckBoxPlaces[] = {
    {kIdDefaultBrowserBox, {248, 354}, kDefaultBrowserLabel}, {kIdLicenceBox, {13, 380}, kLicenceLabel},
    {kIdExperienceBox, {360, 354}, kExperienceLabel},         {kIdDesktopShortcutBox, {11, 354}, kDesktopShortcutLabel},
    {kIdTaskbarBox, {146, 354}, kTaskbarLabel},
};

struct LabelPlace {
  int id;
  const wchar_t* text;
  POINT position;  // y without the label offset
};
constexpr LabelPlace kLabelPlaces[] = {
    {kIdDesktopShortcutLabel, kDesktopShortcutLabel, {32, 354}},
    {kIdTaskbarLabel, kTaskbarLabel, {167, 354}},
    {kIdDefaultBrowserLabel, kDefaultBrowserLabel, {269, 354}},
    {kIdLicenceLabel, kLicenceLabel, {34, 380}},
    {kIdExperienceLabel, kExperienceLabel, {381, 354}},
};

// The labels fitted to their words, in the order of CSetupUI::label_unfitted.
constexpr int kFittedLabels[3] = {kIdDefaultBrowserLabel, kIdDesktopShortcutLabel, kIdTaskbarLabel};

// Controls each view brings in line; the rest is shown and hidden by the commands.
constexpr int kExpandedOnly[] = {kIdCollapse,       kIdDesktopShortcutBox, kIdDesktopShortcutLabel,
                                 kIdDefaultBrowserBox, kIdDefaultBrowserLabel, kIdTaskbarBox,
                                 kIdTaskbarLabel,   kIdExperienceBox,      kIdExperienceLabel,
                                 kIdBrowse,         kIdInstallNow};
constexpr int kCollapsedOnly[] = {kIdLicenceLabel, kIdLicenceBox, kIdExpand};

// Only real changes: showing a shown window would queue yet another paint of it.
void SetVisible(HWND window, bool visible) {
  if (!window) return;
  const bool shown = (GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != visible) ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

// The install shrinks the window to the collapsed height, and a failure brings the expanded
// view's controls back: one standing below the lower edge then stays hidden, so that
// neither Tab nor Enter reaches a button no one sees.
bool BelowWindowEdge(const CSetupUI* ui, HWND control) {
  RECT client;
  const RECT place = ui->PlaceOf(control);
  return GetClientRect(ui->main_window, &client) && !IsRectEmpty(&place) && place.top >= client.bottom;
}

// Brings the children in line with the expanded flag; runs after every control drawing,
// so a view switch takes effect with the first control that repaints. The progress and
// finished views have no controls: a control drawn on its way out (the dialog manager
// hands the focus from one hidden button to the next) must not bring the others back.
void SyncViewControls(const CSetupUI* ui) {
  if (ui->installing || ui->finished) return;
  const bool expanded = ui->expanded;
  for (int id : kCollapsedOnly)
    if (expanded) SetVisible(ui->Control(id), false);
  for (int id : kExpandedOnly) {
    HWND control = ui->Control(id);
    SetVisible(control, expanded && control && !BelowWindowEdge(ui, control));
  }
  SetVisible(ui->dir_field, expanded);
  SetVisible(ui->status_label, expanded);
}

LRESULT OnDrawItem(CSetupUI* ui, const DRAWITEMSTRUCT* item) {
  if (!item) return 0;
  if (item->CtlType != ODT_BUTTON) return 1;
  const int id = static_cast<int>(item->CtlID);
  // Without the keyboard's marks, the focus coming or going changes nothing that shows
  // (the window gives the focus away as it first shows, before anything is painted).
  if (item->itemAction == ODA_FOCUS && !ui->keyboard_cues) {
    SyncViewControls(ui);
    return 1;
  }
  // Buttons that only live in the expanded view always copy its background; everything
  // else copies the background of the view it stands in.
  if (id == kIdInstallNow || id == kIdCollapse) {
    ui->Button(id)->Paint(item->hDC, ui->ExpandedBackground());
  } else if (CImageButton* button = ui->Button(id)) {
    button->Paint(item->hDC, ui->ViewBackground());
  } else if (CImageCheckBox* box = ui->CheckBox(id)) {
    box->Paint(item->hDC, ui->ViewBackground());
  }
  if ((item->itemState & ODS_FOCUS) && ui->keyboard_cues) {
    ScopedGdiObj<HPEN> pen(CreatePen(PS_SOLID, 1, kFocusMarkColour));
    ScopedSelectObject select_pen(item->hDC, pen.Get());
    ScopedSelectObject select_brush(item->hDC, GetStockObject(NULL_BRUSH));
    RoundRect(item->hDC, item->rcItem.left, item->rcItem.top, item->rcItem.right, item->rcItem.bottom, 6, 6);
  }
  SyncViewControls(ui);
  return 1;
}

// Tab follows the windows' order among their siblings.
void ApplyTabOrder(HWND window) {
  HWND previous = HWND_TOP;
  for (int id : kTabOrder) {
    HWND control = GetDlgItem(window, id);
    if (!control) continue;
    SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = control;
  }
}

void DrawText(HDC dc, POINT at, const wchar_t* text) { TextOutW(dc, at.x, at.y, text, lstrlenW(text)); }

// How far the payload is written, as a bar under the installing picture.
void DrawProgressBar(const CSetupUI* ui, HDC dc) {
  const RECT bar = ProgressBarRect(ui);
  const int filled = static_cast<int>((bar.right - bar.left) * static_cast<LONGLONG>(ui->progress_permille) / 1000);
  for (const auto& [colour, right] : {std::pair<COLORREF, LONG>{kProgressTrackColour, bar.right},
                                      std::pair<COLORREF, LONG>{kProgressFillColour, bar.left + filled}}) {
    if (right <= bar.left) continue;
    ScopedGdiObj<HBRUSH> brush(CreateSolidBrush(colour));
    ScopedGdiObj<HPEN> pen(CreatePen(PS_SOLID, 1, colour));
    ScopedSelectObject select_brush(dc, brush.Get());
    ScopedSelectObject select_pen(dc, pen.Get());
    RoundRect(dc, bar.left, bar.top, right, bar.bottom, kProgressBarHeight, kProgressBarHeight);
  }
}

void OnPaint(CSetupUI* ui, HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (!dc) return;
  RECT client;
  GetClientRect(window, &client);
  const int width = kWindowWidth;
  const int height = client.bottom > kCollapsedHeight ? client.bottom : kCollapsedHeight;
  {
    ScopedMemDC memory(dc);
    ScopedGdiObj<HBITMAP> bitmap(CreateCompatibleBitmap(dc, width, height));
    if (memory.Get() && bitmap.Get()) {
      ScopedSelectObject select(memory.Get(), bitmap.Get());
      {
        ScopedGraphics graphics(CreateGraphics(memory.Get()));
        auto draw_at = [&](GpImage* image, POINT at) {
          const SIZE size = ImageSize(image);
          DrawSkinImage(graphics.Get(), image, XYWH(at.x, at.y, size.cx, size.cy), XYWH(0, 0, size.cx, size.cy));
        };
        if (ui->expanded) {
          draw_at(ui->ExpandedBackground(), {0, 0});
          draw_at(ui->Image(kImageFieldStrip), kFieldStripPos);
        } else {
          draw_at(ui->Image(kImageMainBackground), {0, 0});
        }
        if (ui->installing) draw_at(ui->Image(kImageInstalling), ui->indicator);
        if (ui->finished) draw_at(ui->Image(kImageFinished), ui->indicator);
      }
      if (ui->installing) DrawProgressBar(ui, memory.Get());
      BitBlt(dc, 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
    }
  }
  SetBkMode(dc, TRANSPARENT);
  {
    ScopedSelectObject select_font(dc, ui->font);
    // Every failure names the log, for support to ask for; under the licence box and label
    // (back after a collapse from the failure) it would not be read.
    if (ui->ShowsFailure() && ui->installer &&
        !ui->installer->LogPath().empty() && !IsWindowVisible(ui->Control(kIdLicenceLabel))) {
      SetTextColor(dc, kLogLineColour);
      DrawText(dc, kLogLinePos, (kLogLinePrefix + ui->installer->LogPath()).c_str());
    }
    const auto at = [ui](POINT pos) { return FailureTextPos(pos, ui->expanded); };
    if (ui->failure_damaged) {
      SetTextColor(dc, kErrorColour);
      DrawText(dc, at(kFailureAdvicePos[0]), kDamagedText1);
      DrawText(dc, at(kFailureAdvicePos[1]), kDamagedText2);
    } else if (ui->failure_feedback) {
      SetTextColor(dc, kFailureTitleColour);
      DrawText(dc, at(kFailureTitlePos), kFailureTitle);
      SetTextColor(dc, kErrorColour);
      DrawText(dc, at(kFeedbackLinkPos), kFeedbackLink);
    } else if (ui->failure_advice) {
      SetTextColor(dc, kErrorColour);
      DrawText(dc, at(kFailureAdvicePos[0]), kFailureAdvice1);
      DrawText(dc, at(kFailureAdvicePos[1]), kFailureAdvice2);
      DrawText(dc, at(kFailureAdvicePos[2]), kFailureAdvice3);
    }
  }
  EndPaint(window, &paint);
}

LRESULT OnCtlColorStatic(CSetupUI* ui, HDC dc, HWND label) {
  SetBkMode(dc, TRANSPARENT);
  SelectObject(dc, ui->font);
  if (label == ui->status_label && !ui->dir_valid) SetTextColor(dc, kErrorColour);
  if (label == ui->warning_label && ui->running) SetTextColor(dc, kErrorColour);
  for (int i = 0; i < 3; ++i) {
    if (label != ui->Label(kFittedLabels[i]) || !ui->label_unfitted[i]) continue;
    ui->label_unfitted[i] = false;
    // The label's window becomes its click area, so it is made exactly as large as its words.
    wchar_t text[32] = {};
    const int length = GetWindowTextW(label, text, 32);
    SIZE extent;
    if (GetTextExtentPoint32W(dc, text, length, &extent)) {
      int x = 0;
      for (const LabelPlace& place : kLabelPlaces)
        if (place.id == kFittedLabels[i]) x = place.position.x;
      MoveWindow(label, x, kOptionLabelY + ui->label_offset, extent.cx, extent.cy, FALSE);
    }
  }
  return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

constexpr wchar_t kLabelProcProperty[] = L"KeloLabelProc";

// A label says it is text to screen readers (the system's object calls it a mere client);
// the licence words and the feedback link say they are links, and show the keyboard's focus
// as buttons do.
LRESULT CALLBACK LabelProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  const auto previous = reinterpret_cast<WNDPROC>(GetPropW(window, kLabelProcProperty));
  const bool link = IsLinkId(GetDlgCtrlID(window));
  const bool progress = GetDlgCtrlID(window) == kIdProgressWords;
  if (message == WM_GETOBJECT) {
    const LONG role = link ? ROLE_SYSTEM_LINK : progress ? ROLE_SYSTEM_PROGRESSBAR : ROLE_SYSTEM_STATICTEXT;
    if (const LRESULT answer = AnswerGetObject(window, wparam, lparam, role)) return answer;
  }
  if (message == WM_KELO_GETVALUE && progress) {
    const CSetupUI* ui = GetUI();
    if (std::wstring* asked = WordsAsked(); asked && ui)
      *asked = std::to_wstring(ui->finished ? 100 : ui->progress_permille / 10) + L"%";
    return 0;
  }
  if (link && (message == WM_SETFOCUS || message == WM_KILLFOCUS)) {
    // Drawn over the window's own picture: the mark goes with a repaint of what lies beneath.
    RECT place;
    GetWindowRect(window, &place);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&place), 2);
    RedrawWindow(GetParent(window), &place, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropW(window, kLabelProcProperty);
  }
  const LRESULT result = previous ? CallWindowProcW(previous, window, message, wparam, lparam)
                                  : DefWindowProcW(window, message, wparam, lparam);
  const CSetupUI* ui = GetUI();
  if (link && message == WM_PAINT && ui && ui->keyboard_cues && GetFocus() == window) {
    ScopedGetDC dc(window, GetDC(window));
    ScopedGdiObj<HBRUSH> mark(CreateSolidBrush(kFocusMarkColour));
    RECT frame;
    GetClientRect(window, &frame);
    if (dc.Get() && mark.Get()) FrameRect(dc.Get(), &frame, mark.Get());
  }
  return result;
}

HWND CreateLabel(HWND parent, int id, const wchar_t* text, RECT rect, DWORD style) {
  HWND label = CreateWindowExW(WS_EX_TRANSPARENT, L"Static", text, style, rect.left, rect.top, rect.right - rect.left,
                               rect.bottom - rect.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               ModuleInstance(), nullptr);
  if (label && SetPropW(label, kLabelProcProperty, reinterpret_cast<HANDLE>(GetWindowLongPtrW(label, GWLP_WNDPROC))))
    SetWindowLongPtrW(label, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LabelProc));
  return label;
}

}  // namespace

void DecodeFirstViewAhead() {
  if (CSetupUI* ui = GetUI())
    ui->DecodeAhead({kImageMainBackground, kImageQuickInstall, kImageExpand, kImageClose});
}

int CreateMainWindow(InstallControl* installer) {
  CSetupUI* ui = GetUI();
  // Without GDI+ nothing of the skin can be drawn: the window would be a black rectangle with
  // invisible buttons, which is no window to offer.
  if (!ui || !Gdiplus() || ui->gdiplus_token == 0) return 0;
  ui->installer = installer;
  HINSTANCE instance = ModuleInstance();
  HWND window = CreateWindowExW(WS_EX_TOPMOST, L"#32770", kWindowTitle, WS_POPUP, 0, 0, kWindowWidth,
                                kCollapsedHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return 0;
  ui->main_window = window;
  HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResourceId));
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  CenterWindow(window);
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC)) != &MainWndProc) {
    ui->previous_main_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWndProc)));
  }
  SetRoundedRegion(window, kCollapsedHeight);

  const SIZE main_size = ui->Skin(kImageMainBackground)->Size();
  const SIZE indicator_size = ui->Skin(kImageInstalling)->Size();
  ui->indicator.x = static_cast<LONG>(static_cast<unsigned>(main_size.cx) / 2 - static_cast<unsigned>(indicator_size.cx) / 2);
  ui->indicator.y = kIndicatorCentreY - static_cast<LONG>(static_cast<unsigned>(indicator_size.cy) / 2);

  for (const ButtonPlace& place : kButtonPlaces) {
    for (size_t i = 0; i < 6; ++i) {
      if (CSetupUI::kButtonIds[i] != place.id) continue;
      ui->buttons[i].reset(new CImageButton());
      SkinBitmap* image = ui->Skin(place.image);
      const SIZE size = image->Size();
      ui->buttons[i]->Create(image, window, place.id, place.position.x, place.position.y, size.cx,
                             size.cy / kButtonStripFrames);
      SetWindowTextW(ui->buttons[i]->window(), place.name);
    }
  }
  for (const CheckBoxPlace& place : kCheckBoxPlaces) {
    for (size_t i = 0; i < 5; ++i) {
      if (CSetupUI::kCheckBoxIds[i] != place.id) continue;
      ui->check_boxes[i].reset(new CImageCheckBox());
      ui->check_boxes[i]->Create(window, place.id, place.position.x, place.position.y);
      SetWindowTextW(ui->check_boxes[i]->window(), place.name);
      SendMessageW(ui->check_boxes[i]->window(), BM_SETCHECK, 1, 0);
    }
  }
  for (size_t i = 0; i < 5; ++i) {
    const LabelPlace& place = kLabelPlaces[i];
    const int y = place.position.y + ui->label_offset;
    for (size_t j = 0; j < 5; ++j) {
      if (CSetupUI::kLabelIds[j] == place.id)
        ui->labels[j] = CreateLabel(window, place.id, place.text,
                                    XYWH(place.position.x, y, kLabelWidth, kLabelHeight),
                                    place.id == kIdLicenceLabel ? kLabelStyle | WS_TABSTOP : kLabelStyle);
    }
  }
  {
    ScopedGetDC dc(window, GetDC(window));
    ScopedSelectObject select_font(dc.Get(), ui->font);
    SIZE extent = {};
    if (dc.Get()) GetTextExtentPoint32W(dc.Get(), kFeedbackLink, lstrlenW(kFeedbackLink), &extent);
    ui->feedback_link = CreateLabel(window, kIdFeedbackLink, kFeedbackLink,
                                    XYWH(kFeedbackLinkPos.x, kFeedbackLinkPos.y, extent.cx, extent.cy),
                                    WS_CHILD | WS_TABSTOP | SS_OWNERDRAW);
  }
  // Over the indicator and its bar: the focus's place while they show.
  ui->progress_words =
      CreateLabel(window, kIdProgressWords, kInstallingWords, IndicatorRect(ui), WS_CHILD | WS_TABSTOP | SS_OWNERDRAW);
  ui->status_label = CreateLabel(window, 0, L"", kStatusLabelRect, kLabelStyle);
  ui->warning_label = CreateLabel(window, 0, kRunningWarning, kWarningLabelRect, WS_CHILD);

  const RECT field = kDirFieldRect;
  ui->dir_field = CreateWindowExW(0, L"Edit", L"", kFieldStyle, field.left, kDirFieldCreateY, field.right - field.left,
                                  field.bottom - field.top, window, reinterpret_cast<HMENU>(kIdDirField), instance,
                                  nullptr);
  if (ui->dir_field) {
    SendMessageW(ui->dir_field, WM_SETFONT, reinterpret_cast<WPARAM>(ui->font), TRUE);
    if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(ui->dir_field, GWLP_WNDPROC)) != &DirEditProc) {
      ui->previous_field_proc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(ui->dir_field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DirEditProc)));
    }
    SendMessageW(ui->dir_field, EM_LIMITTEXT, kFieldLimitChars, 0);
    SetWindowPos(ui->dir_field, nullptr, field.left, field.top, field.right - field.left, field.bottom - field.top,
                 SWP_FRAMECHANGED);
    // Setting the text runs the directory check, before the running check has started.
    std::wstring proposal;
    DefaultInstallDir(&proposal);
    SetWindowTextW(ui->dir_field, proposal.c_str());
    ShowWindow(ui->dir_field, SW_HIDE);
  }
  ApplyTabOrder(window);
  // The expanded view's controls are created visible. Hidden here, before the window
  // shows, they cost nothing; hidden by the first drawing, each one erased the window
  // again in the middle of the first paint.
  SyncViewControls(ui);

  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  InvalidateRect(window, nullptr, TRUE);
  SetTimer(window, TIMER_RUNNING_CHECK, kRunningCheckPeriodMs, nullptr);
  return 1;
}

void ProposeInstallDir(const std::wstring& dir) {
  CSetupUI* ui = GetUI();
  // Setting the text runs the directory check.
  if (ui && ui->dir_field) SetWindowTextW(ui->dir_field, dir.c_str());
}

bool HandleWindowKeys(MSG* message) {
  CSetupUI* ui = GetUI();
  if (!ui || !ui->main_window || (message->hwnd != ui->main_window && !IsChild(ui->main_window, message->hwnd)))
    return false;
  const WPARAM key = message->wParam;
  const bool arrow = key == VK_LEFT || key == VK_UP || key == VK_RIGHT || key == VK_DOWN;
  if (message->message == WM_KEYDOWN && (key == VK_TAB || arrow) && !ui->keyboard_cues) {
    ui->keyboard_cues = true;
    if (HWND focus = GetFocus()) InvalidateRect(focus, nullptr, FALSE);
  }
  // A held Enter or Space presses once (in the field, a held Space types spaces): the Enter
  // that started an install, still held when a quick failure moves the focus to the close
  // button, must not close the failure's view.
  const bool press = message->message == WM_KEYDOWN &&
                     (key == VK_RETURN || (key == VK_SPACE && message->hwnd != ui->dir_field));
  if (press && (message->lParam & (1 << 30))) return true;
  // Enter and Space on a link open its page, as a click on it does.
  if (press && IsLinkId(GetDlgCtrlID(message->hwnd)) && GetParent(message->hwnd) == ui->main_window) {
    SendMessageW(ui->main_window, WM_COMMAND, GetDlgCtrlID(message->hwnd), reinterpret_cast<LPARAM>(message->hwnd));
    return true;
  }
  // Outside the field, arrows walk the controls as Tab does: the dialog manager's own walk
  // stops on the other labels too, where the focus shows nowhere.
  if (message->message == WM_KEYDOWN && arrow && message->hwnd != ui->dir_field) {
    SendMessageW(ui->main_window, WM_NEXTDLGCTL, key == VK_LEFT || key == VK_UP, FALSE);
    return true;
  }
  // The window's class is a dialog's: the dialog manager does Tab, Enter (IDOK) and Esc
  // (IDCANCEL), and the focused button's own Space.
  return IsDialogMessageW(ui->main_window, message) != FALSE;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CSetupUI* ui = GetUI();
  if (!ui) return DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_DRAWITEM:
      return OnDrawItem(ui, reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
    case WM_PAINT:
      OnPaint(ui, window);
      return 0;
    case WM_CTLCOLORSTATIC:
      return OnCtlColorStatic(ui, reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
    case WM_CTLCOLORBTN:
      SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    case WM_CTLCOLORDLG:
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  LRESULT result = 0;
  if (HandleFlowMessage(ui, window, message, wparam, lparam, &result)) return result;
  result = ui->previous_main_proc ? CallWindowProcW(ui->previous_main_proc, window, message, wparam, lparam)
                                  : DefDlgProcW(window, message, wparam, lparam);
  if (message == WM_ACTIVATE && LOWORD(wparam) != WA_INACTIVE) FocusViewControl(ui, window);
  return result;
}

LRESULT CALLBACK DirEditProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CSetupUI* ui = GetUI();
  if (!ui || !ui->previous_field_proc) return DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_NCCALCSIZE: {
      // Text 5 pixels from the sides and centred vertically, measured with the context's
      // default font as the field first sees it.
      RECT* proposed = reinterpret_cast<RECT*>(lparam);
      ScopedGetDC dc(window, GetDC(window));
      TEXTMETRICW metrics = {};
      if (dc.Get()) GetTextMetricsW(dc.Get(), &metrics);
      proposed->left += kDirFieldTextPad;
      proposed->right -= kDirFieldTextPad;
      const int pad = (proposed->bottom - proposed->top - metrics.tmHeight) / 2;
      proposed->top += pad;
      proposed->bottom -= pad;
      return 0;
    }
    case WM_GETOBJECT:
      if (const LRESULT answer = AnswerGetObject(window, wparam, lparam, ROLE_SYSTEM_TEXT, kDirFieldName)) return answer;
      break;
    case WM_KELO_GETDESCRIPTION:
      // Why the directory is refused (or how much room it has): the status label is no
      // control a keyboard reaches.
      if (std::wstring* asked = WordsAsked()) *asked = WindowText(ui->status_label);
      return 0;
    case WM_NCPAINT: {
      ScopedGetDC dc(window, GetWindowDC(window));
      RECT frame;
      GetWindowRect(window, &frame);
      OffsetRect(&frame, -frame.left, -frame.top);
      if (dc.Get()) FrameRect(dc.Get(), &frame, ui->frame_brush);
      return 0;
    }
  }
  return CallWindowProcW(ui->previous_field_proc, window, message, wparam, lparam);
}

}  // namespace kelo
