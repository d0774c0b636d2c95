// The installer window as a user meets it, on the real program: its views and their
// pictures, the directory check, the option words, the licence link, the running-browser
// warning, dragging, and one copy per session.
#include <gtest/gtest.h>
#include <oleacc.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/product.h"
#include "base/win_holders.h"
#include "installer_driver.h"
#include "sysreg_scratch.h"
#include "ui/control_accessible.h"
#include "ui/window_layout.h"
#include "window_looks.h"

namespace kelo::test {
namespace {

constexpr int kAllBoxes[] = {kIdDesktopShortcutBox, kIdTaskbarBox, kIdDefaultBrowserBox, kIdLicenceBox,
                             kIdExperienceBox};
constexpr int kCollapsedShown[] = {kIdClose, kIdQuickInstall, kIdExpand, kIdLicenceBox, kIdLicenceLabel};
constexpr int kExpandedShown[] = {kIdClose,         kIdQuickInstall,       kIdBrowse,
                                  kIdInstallNow,    kIdCollapse,           kIdDesktopShortcutBox,
                                  kIdTaskbarBox,    kIdDefaultBrowserBox,  kIdExperienceBox,
                                  kIdDirField,      kIdDesktopShortcutLabel, kIdTaskbarLabel,
                                  kIdDefaultBrowserLabel, kIdExperienceLabel};
constexpr int kCollapsedOnly[] = {kIdExpand, kIdLicenceBox, kIdLicenceLabel};

std::wstring LocalAppData() {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

// A window of the installer, started fresh for each test and closed at its end.
class SetupWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(setup_.Start(SetupExe()));
    ASSERT_NE(setup_.WaitForWindow(), nullptr) << "no installer window";
    ASSERT_TRUE(setup_.Barrier());
  }
  void TearDown() override {
    // A browser an install started, whatever the test's end: running, it would change what
    // the next test's window shows.
    if (setup_.window()) {
      setup_.Click(kIdClose);
      DWORD code = 1;
      EXPECT_TRUE(setup_.WaitForExit(10000, &code)) << "the close button did not end the installer";
      EXPECT_EQ(code, 0u);
    }
    EndProcessesNamed(kBrowserExe);
  }

  void Expand() {
    setup_.Click(kIdExpand);
    ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kExpandedHeight && setup_.IsVisible(kIdDirField); },
                          5000))
        << "the window did not expand";
    ASSERT_TRUE(setup_.Barrier());
  }

  // The picture at a control's place is, or is not, that control's first frame.
  bool ShowsFrame(int id, int image, int frame, bool expanded) {
    Look look = BackgroundLook(expanded);
    const RECT place = setup_.ClientRect(setup_.Control(id));
    PlaceFrame(&look, image, frame, 3, place.left, place.top);
    return AwaitLook(setup_.window(), look, nullptr, place).differing == 0;
  }

  Installer setup_;
};

TEST_F(SetupWindow, StartsCollapsedWithEveryBoxChecked) {
  HWND window = setup_.window();
  EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_FALSE(GetWindowLongPtrW(window, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME));
  RECT rect;
  GetWindowRect(window, &rect);
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_EQ(rect.right - rect.left, kWindowWidth);
  EXPECT_EQ(rect.bottom - rect.top, kCollapsedHeight);
  EXPECT_EQ(rect.left, (work.left + work.right) / 2 - kWindowWidth / 2) << "not centred on the work area";
  EXPECT_EQ(rect.top, (work.top + work.bottom) / 2 - kCollapsedHeight / 2);
  EXPECT_TRUE(setup_.IsShapedFor(kCollapsedHeight));

  for (int id : kCollapsedShown) EXPECT_TRUE(setup_.IsVisible(id)) << id << " is hidden";
  for (int id : kExpandedShown) {
    if (id == kIdClose || id == kIdQuickInstall) continue;
    EXPECT_FALSE(setup_.IsVisible(id)) << id << " shows";
  }
  ASSERT_TRUE(setup_.StatusLabel() && setup_.WarningLabel());
  EXPECT_FALSE(IsWindowVisible(setup_.StatusLabel()));
  EXPECT_FALSE(IsWindowVisible(setup_.WarningLabel()));
  for (int id : kAllBoxes) EXPECT_TRUE(setup_.IsChecked(id)) << "box " << id << " starts unchecked";
  EXPECT_EQ(setup_.Text(setup_.Control(kIdLicenceLabel)), kLicenceLabel);

  const Difference difference = AwaitLook(setup_.window(), CollapsedLook(), L"collapsed");
  EXPECT_EQ(difference.differing, 0) << difference.Describe();
}

TEST_F(SetupWindow, ExpandShowsDirectoryFreeSpaceAndOptions) {
  Expand();
  EXPECT_TRUE(setup_.IsShapedFor(kExpandedHeight));
  for (int id : kExpandedShown) EXPECT_TRUE(setup_.IsVisible(id)) << id << " is hidden";
  for (int id : kCollapsedOnly) EXPECT_FALSE(setup_.IsVisible(id)) << id << " shows";
  EXPECT_EQ(setup_.Text(setup_.Control(kIdDirField)), LocalAppData() + L"\\Kelo\\KeloBrowser\\");
  HWND status = setup_.StatusLabel();
  ASSERT_TRUE(IsWindowVisible(status));
  EXPECT_EQ(setup_.Text(status).rfind(L"剩余空间: ", 0), 0u) << "status: " << setup_.Text(status).size();
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));

  const Difference difference = AwaitLook(setup_.window(), ExpandedLook(), L"expanded");
  EXPECT_EQ(difference.differing, 0) << difference.Describe();
  const Image shot = setup_.Capture();
  // A valid directory's status is not written in red.
  EXPECT_EQ(CountReddish(shot, setup_.ClientRect(status)), 0);
  // The field keeps its frame after the whole window has been repainted.
  const RECT field = setup_.ClientRect(setup_.Control(kIdDirField));
  EXPECT_GT(CountNear(shot, RECT{field.left, field.top, field.right, field.top + 1}, 0xBECFDB, 2), 400);

  setup_.Click(kIdCollapse);
  ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kCollapsedHeight && setup_.IsVisible(kIdExpand); }, 5000));
  ASSERT_TRUE(setup_.Barrier());
  for (int id : kCollapsedShown) EXPECT_TRUE(setup_.IsVisible(id)) << id << " is hidden after collapsing";
  EXPECT_TRUE(setup_.IsShapedFor(kCollapsedHeight));
  EXPECT_TRUE(PollFor([&] { return !setup_.IsVisible(kIdDirField) && !setup_.IsVisible(kIdInstallNow); }, kRepaintWaitMs));
  const Difference collapsed = AwaitLook(setup_.window(), CollapsedLook(), L"collapsed_again");
  EXPECT_EQ(collapsed.differing, 0) << collapsed.Describe();
}

// The picker, owned by the window, asks for the folder in its words; a folder picked gets
// the product's folder added, and a cancelled pick leaves the field as it was.
TEST_F(SetupWindow, TheFolderPickerAddsTheProductFolderToThePick) {
  Expand();
  // A refused directory first: a pick that went unchecked would leave its refusal standing.
  const std::wstring refused = L"Games\\KeloBrowser";  // relative
  setup_.SetDirectory(refused);
  ASSERT_TRUE(setup_.Barrier());
  ASSERT_FALSE(IsWindowEnabled(setup_.Control(kIdInstallNow)));
  // Nothing chosen in the picker, its OK takes the folder it starts at: the desktop.
  const struct {
    int button;
    std::wstring field;
    bool accepted;
  } picks[] = {{IDCANCEL, refused, false}, {IDOK, ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\KeloBrowser", true}};
  for (const auto& [button, field, accepted] : picks) {
    setup_.Click(kIdBrowse);
    const HWND picker = WaitForWindow(
        L"#32770", [&](const std::wstring&, HWND dialog) { return GetWindow(dialog, GW_OWNER) == setup_.window(); },
        10000);
    ASSERT_NE(picker, nullptr) << "no folder picker of the window's";
    // Its words come with its controls, and it shows once it has set them up.
    EXPECT_TRUE(PollFor(
        [&] {
          if (!IsWindowVisible(picker)) return false;
          for (HWND child = GetWindow(picker, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (setup_.Text(child) == kBrowseDirTitle) return true;
          return false;
        },
        5000))
        << "the picker does not ask in the installer's words";
    PostMessageW(picker, WM_COMMAND, button, 0);
    ASSERT_TRUE(PollFor([&] { return !IsWindow(picker); }, 10000));
    ASSERT_TRUE(setup_.Barrier());
    EXPECT_EQ(setup_.Text(setup_.Control(kIdDirField)), field) << "after button " << button;
    EXPECT_EQ(setup_.Text(setup_.StatusLabel()).rfind(L"剩余空间: ", 0) == 0, accepted) << "after button " << button;
    EXPECT_EQ(IsWindowEnabled(setup_.Control(kIdInstallNow)) != FALSE, accepted) << "after button " << button;
  }
}

TEST_F(SetupWindow, LicenceBoxGatesInstallAndExpand) {
  const std::wstring urls = ScratchDir(L"licence-urls");
  RegisterUrlRecorder(urls);
  setup_.Click(kIdLicenceBox);
  ASSERT_TRUE(PollFor([&] { return !setup_.IsChecked(kIdLicenceBox); }, 3000));
  setup_.Click(kIdExpand);
  setup_.Click(kIdQuickInstall);
  ASSERT_TRUE(setup_.Barrier());
  EXPECT_EQ(setup_.ClientHeight(), kCollapsedHeight) << "expanded without the licence agreed";
  EXPECT_TRUE(setup_.IsVisible(kIdQuickInstall)) << "an install started without the licence agreed";
  EXPECT_TRUE(setup_.IsVisible(kIdClose));

  // The words open the agreement and leave the box as it is.
  const RECT words = setup_.ClientRect(setup_.Control(kIdLicenceLabel));
  setup_.ClickAt(POINT{words.left + 10, words.top + 6});
  EXPECT_TRUE(PollFor([&] { return !RecordedUrls(urls).empty(); }, 15000)) << "the licence page was not opened";
  // The click handled, every page it opened has its recorder started: all are counted.
  ASSERT_TRUE(setup_.Barrier());
  ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
  const std::vector<std::wstring> opened = RecordedUrls(urls);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], kLicenceUrl);
  EXPECT_EQ(RecordedShowCommands(urls), std::vector<int>{SW_SHOWNORMAL}) << "the licence opened out of sight";
  EXPECT_FALSE(GetWindowLongPtrW(setup_.window(), GWL_EXSTYLE) & WS_EX_TOPMOST) << "the window covers the licence";
  EXPECT_FALSE(setup_.IsChecked(kIdLicenceBox));
  EXPECT_EQ(setup_.ClientHeight(), kCollapsedHeight);

  setup_.Click(kIdLicenceBox);
  ASSERT_TRUE(PollFor([&] { return setup_.IsChecked(kIdLicenceBox); }, 3000));
  Expand();
}

// A page that cannot be opened (its program gone) is told of in a box the window owns, which
// keeps the window from further clicks while it shows; the window then stays above all
// others as before.
TEST_F(SetupWindow, APageThatCannotBeOpenedIsToldOfOverTheWindow) {
  RegisterUrlHandler(L"\"C:\\no such folder\\browser.exe\" \"%1\"");
  const RECT words = setup_.ClientRect(setup_.Control(kIdLicenceLabel));
  setup_.ClickAt(POINT{words.left + 10, words.top + 6});
  const HWND box = WaitForWindow(
      L"#32770", [&](const std::wstring&, HWND dialog) { return GetWindow(dialog, GW_OWNER) == setup_.window(); },
      10000);
  RegisterUrlRecorder(ScratchDir(L"unopened-urls"));
  ASSERT_NE(box, nullptr) << "no box of the window's tells that the page did not open";
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(PollFor([&] { return !IsWindow(box); }, 10000));
  EXPECT_TRUE(PollFor([&] { return (GetWindowLongPtrW(setup_.window(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }, 10000))
      << "the window no longer stays above others, though no page opened";
}

TEST_F(SetupWindow, OptionWordsToggleTheirBoxes) {
  Expand();
  const struct {
    int label;
    int box;
    const wchar_t* words;
  } kOptions[] = {{kIdDesktopShortcutLabel, kIdDesktopShortcutBox, kDesktopShortcutLabel},
                  {kIdTaskbarLabel, kIdTaskbarBox, kTaskbarLabel},
                  {kIdDefaultBrowserLabel, kIdDefaultBrowserBox, kDefaultBrowserLabel}};
  // The labels were fitted to their words in the window's font when first drawn.
  HDC screen = GetDC(nullptr);
  HFONT font = CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, 0,
                           kWindowFontFace);
  HGDIOBJ old = SelectObject(screen, font);
  for (const auto& option : kOptions) {
    SIZE extent = {};
    GetTextExtentPoint32W(screen, option.words, lstrlenW(option.words), &extent);
    RECT label = {};
    PollFor(
        [&] {
          label = setup_.ClientRect(setup_.Control(option.label));
          return label.right - label.left != kLabelWidth;
        },
        3000);
    EXPECT_EQ(label.right - label.left, extent.cx) << "label " << option.label;
    EXPECT_EQ(label.bottom - label.top, extent.cy) << "label " << option.label;
    EXPECT_EQ(label.top, kOptionLabelY + kLabelOffset) << "label " << option.label;
  }
  SelectObject(screen, old);
  DeleteObject(font);
  ReleaseDC(nullptr, screen);

  for (const auto& option : kOptions) {
    const RECT label = setup_.ClientRect(setup_.Control(option.label));
    for (bool expected : {false, true}) {
      setup_.ClickAt(POINT{label.right - 3, (label.top + label.bottom) / 2});
      EXPECT_TRUE(PollFor([&] { return setup_.IsChecked(option.box) == expected; }, 3000))
          << "clicking label " << option.label << " did not make its box " << expected;
    }
    // The box itself toggles too.
    setup_.Click(option.box);
    EXPECT_TRUE(PollFor([&] { return !setup_.IsChecked(option.box); }, 3000)) << "box " << option.box;
    setup_.Click(option.box);
    EXPECT_TRUE(PollFor([&] { return setup_.IsChecked(option.box); }, 3000)) << "box " << option.box;
  }
  // A click just past the fitted words toggles nothing.
  const RECT fitted = setup_.ClientRect(setup_.Control(kIdTaskbarLabel));
  setup_.ClickAt(POINT{fitted.right + 2, fitted.top + 4});
  ASSERT_TRUE(setup_.Barrier());
  EXPECT_TRUE(setup_.IsChecked(kIdTaskbarBox));
  // "加入用户体验计划" is no link to its box: a click on it toggles nothing.
  const RECT experience = setup_.ClientRect(setup_.Control(kIdExperienceLabel));
  setup_.ClickAt(POINT{experience.left + 10, experience.top + 6});
  ASSERT_TRUE(setup_.Barrier());
  EXPECT_TRUE(setup_.IsChecked(kIdExperienceBox));
  for (int id : kAllBoxes) EXPECT_TRUE(setup_.IsChecked(id)) << "box " << id;

  // Unchecked boxes show their unchecked frame.
  setup_.Click(kIdExperienceBox);
  ASSERT_TRUE(PollFor([&] { return !setup_.IsChecked(kIdExperienceBox); }, 3000));
  ASSERT_TRUE(setup_.Barrier());
  Look look = BackgroundLook(true);
  PlaceFrame(&look, kImageCheckBox, 0, 6, 360, 354);
  const RECT box = setup_.ClientRect(setup_.Control(kIdExperienceBox));
  EXPECT_EQ(AwaitLook(setup_.window(), look, nullptr, box).differing, 0);
}

TEST_F(SetupWindow, RefusedDirectoryRemovesTheInstallButtons) {
  Expand();
  const std::wstring good = setup_.Text(setup_.Control(kIdDirField));
  // Longer than the window reads back (a typed 260th character, or /D= text, which the
  // field's limit does not hold back): it would be checked, and installed into, cut short.
  const std::wstring typed_full = L"C:\\" + std::wstring(257, L'a');
  const std::wstring overlong = L"C:\\" + std::wstring(300, L'a');
  const std::pair<const wchar_t*, const wchar_t*> kRefused[] = {
      {L"C:x", kDirBadFormText},          {L"1:\\Games", kDirBadFormText}, {L"C:\\a|b", kDirBadFormText},
      {L"\\\\server\\share", kDirBadFormText}, {L"", kDirBadFormText},
      {typed_full.c_str(), kDirBadFormText}, {overlong.c_str(), kDirBadFormText},
  };
  HWND status = setup_.StatusLabel();
  // The field, which the keyboard reaches, tells a screen reader why.
  ComScope com;
  IAccessible* field = AccessibleOf(setup_.Control(kIdDirField));
  ASSERT_NE(field, nullptr);
  for (const auto& [text, message] : kRefused) {
    setup_.SetDirectory(text);
    ASSERT_TRUE(setup_.Barrier());
    EXPECT_EQ(setup_.Text(status), message) << "for \"" << std::string(text, text + lstrlenW(text)) << "\"";
    EXPECT_EQ(AccessibleDescription(field), message);
    EXPECT_FALSE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
    EXPECT_FALSE(IsWindowEnabled(setup_.Control(kIdInstallNow)));
  }
  // Red words, and no picture where the two buttons stood.
  const RECT status_rect = setup_.ClientRect(status);
  EXPECT_TRUE(PollFor([&] { return CountReddish(setup_.Capture(), status_rect) > 30; }, kRepaintWaitMs))
      << "the refusal is not written in red";
  const Look plain = ExpandedLook();
  const Look without_buttons = BackgroundLook(true);
  for (int id : {kIdQuickInstall, kIdInstallNow}) {
    const RECT place = setup_.ClientRect(setup_.Control(id));
    EXPECT_EQ(AwaitLook(setup_.window(), without_buttons, nullptr, place).differing, 0)
        << "button " << id << " still shows while disabled";
  }
  SavePng(setup_.Capture(), ScreenshotDir() + L"\\expanded_refused.png");

  // Install-now clicked anyway: the window collapses, and nothing is installed.
  setup_.Click(kIdInstallNow);
  ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kCollapsedHeight; }, 5000));
  ASSERT_TRUE(setup_.Barrier());
  EXPECT_TRUE(setup_.IsVisible(kIdClose)) << "an install started into a refused directory";
  EXPECT_TRUE(setup_.IsVisible(kIdExpand));

  Expand();
  setup_.SetDirectory(good);
  ASSERT_TRUE(setup_.Barrier());
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdInstallNow)));
  EXPECT_EQ(setup_.Text(status).rfind(L"剩余空间: ", 0), 0u);
  EXPECT_EQ(AccessibleDescription(field), setup_.Text(status));
  field->Release();
  const Difference difference = AwaitLook(setup_.window(), plain, L"expanded_corrected");
  EXPECT_EQ(difference.differing, 0) << difference.Describe();
}

TEST_F(SetupWindow, RunningBrowserRaisesTheWarning) {
  HWND warning = setup_.WarningLabel();
  ASSERT_NE(warning, nullptr);
  EXPECT_EQ(setup_.Text(warning), kRunningWarning);
  // A screen reader hears the warning with the button that would end the browser.
  ComScope com;
  IAccessible* install = AccessibleOf(setup_.Control(kIdQuickInstall));
  ASSERT_NE(install, nullptr);
  EXPECT_EQ(AccessibleDescription(install), L"");
  for (const wchar_t* name : {kBrowserMutexName, kUpdaterMutexName}) {
    WinEventRecorder events(setup_.pid(), EVENT_SYSTEM_ALERT, EVENT_OBJECT_DESCRIPTIONCHANGE);
    ASSERT_TRUE(events.hooked());
    ScopedHandle mutex(CreateMutexW(nullptr, FALSE, name));
    ASSERT_TRUE(mutex.IsValid());
    // Within a few of the check's 100 ms periods, however loaded the machine.
    const ULONGLONG created = GetTickCount64();
    ASSERT_TRUE(PollFor([&] { return IsWindowVisible(warning) != FALSE; }, kRunningCheckWaitMs))
        << "no warning for " << name;
    std::printf("warning for a running copy shown after %llu ms\n", GetTickCount64() - created);
    const RECT rect = setup_.ClientRect(warning);
    EXPECT_TRUE(PollFor([&] { return CountReddish(setup_.Capture(), rect) > 50; }, kRepaintWaitMs))
        << "the warning is not written in red";
    SavePng(setup_.Capture(), ScreenshotDir() + L"\\running_warning.png");
    EXPECT_EQ(AccessibleDescription(install), kRunningWarning);
    EXPECT_TRUE(PollFor([&] { return events.Heard(EVENT_SYSTEM_ALERT, warning); }, 5000)) << "no alert";
    EXPECT_TRUE(PollFor([&] { return events.Heard(EVENT_OBJECT_DESCRIPTIONCHANGE, setup_.Control(kIdQuickInstall)); }, 5000))
        << "a reader on the button is not told";
    mutex.Reset();
    ASSERT_TRUE(PollFor([&] { return !IsWindowVisible(warning); }, kRunningCheckWaitMs))
        << "the warning stays after " << name;
    EXPECT_EQ(AccessibleDescription(install), L"") << "the warning stays with the button";
  }

  // While the browser runs, a directory change disables the install button even for a
  // good directory; it stays so after the browser ends until the directory changes again.
  Expand();
  const std::wstring good = setup_.Text(setup_.Control(kIdDirField));
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, kBrowserMutexName));
  ASSERT_TRUE(PollFor([&] { return IsWindowVisible(warning) != FALSE; }, kRunningCheckWaitMs));
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
  setup_.SetDirectory(good + L"x");
  EXPECT_FALSE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdInstallNow))) << "install-now, which ends the browser, went too";
  mutex.Reset();
  ASSERT_TRUE(PollFor([&] { return !IsWindowVisible(warning); }, kRunningCheckWaitMs));
  EXPECT_FALSE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
  setup_.SetDirectory(good);
  EXPECT_TRUE(IsWindowEnabled(setup_.Control(kIdQuickInstall)));
  setup_.Click(kIdClose);
  DWORD code = 1;
  EXPECT_TRUE(setup_.WaitForExit(10000, &code));
  install->Release();
}

TEST_F(SetupWindow, ButtonsShowPressedAndHoverFrames) {
  ASSERT_TRUE(ShowsFrame(kIdExpand, kImageExpand, 0, false));
  HWND expand = setup_.Control(kIdExpand);
  PostMessageW(expand, WM_MOUSEHOVER, 0, MAKELPARAM(5, 5));
  EXPECT_TRUE(PollFor([&] { return ShowsFrame(kIdExpand, kImageExpand, 1, false); }, kRepaintWaitMs)) << "no hover frame";
  PostMessageW(expand, WM_MOUSELEAVE, 0, 0);
  EXPECT_TRUE(PollFor([&] { return ShowsFrame(kIdExpand, kImageExpand, 0, false); }, kRepaintWaitMs)) << "hover stays";
  PostMessageW(expand, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  EXPECT_TRUE(PollFor([&] { return ShowsFrame(kIdExpand, kImageExpand, 2, false); }, kRepaintWaitMs)) << "no pressed frame";
  PostMessageW(expand, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kExpandedHeight; }, 5000)) << "release did not expand";
  ASSERT_TRUE(setup_.Barrier());
  // The same place now holds the collapse button, in its normal look.
  EXPECT_TRUE(PollFor([&] { return ShowsFrame(kIdCollapse, kImageCollapse, 0, true); }, kRepaintWaitMs));

  // A checked box hovered shows its checked hover frame.
  HWND box = setup_.Control(kIdTaskbarBox);
  PostMessageW(box, WM_MOUSEHOVER, 0, MAKELPARAM(5, 5));
  Look look = BackgroundLook(true);
  PlaceFrame(&look, kImageCheckBox, 4, 6, 146, 354);
  EXPECT_EQ(AwaitLook(setup_.window(), look, nullptr, setup_.ClientRect(box)).differing, 0);
}

// A real pointer: moved to `at` on the screen, with the button events of `flags`.
bool SendPointer(DWORD flags, POINT at) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dx = MulDiv(at.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  input.mi.dy = MulDiv(at.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
  return SendInput(1, &input, sizeof(input)) == 1;
}

// Lets the left button go at `at` when it leaves its scope, however the test ended: held
// down, it would stay so for every later test of the program.
struct ButtonHeld {
  POINT at;
  bool down = true;
  bool LetGo() {
    down = false;
    return SendPointer(MOUSEEVENTF_LEFTUP, at);
  }
  ~ButtonHeld() {
    if (down) LetGo();
  }
};

// Whether the window's thread is in the system's move loop.
bool Moving(HWND window) {
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof(gui);
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui) && (gui.flags & GUI_INMOVESIZE) != 0;
}

TEST_F(SetupWindow, ArtworkDragsTheWindow) {
  RECT before;
  GetWindowRect(setup_.window(), &before);
  auto moving = [&] { return Moving(setup_.window()); };
  // A real pointer, at a person's pace: press on the artwork, move, release.
  auto send = SendPointer;
  const POINT start = {before.left + 150, before.top + 300};
  ASSERT_TRUE(send(0, start));
  ASSERT_TRUE(send(MOUSEEVENTF_LEFTDOWN, start));
  ButtonHeld held{POINT{start.x - 40, start.y - 32}};
  ASSERT_TRUE(PollFor(moving, 5000)) << "a press on the artwork did not start moving the window";
  RECT after = {};
  for (int step = 1; step <= 4; ++step) {
    ASSERT_TRUE(send(0, POINT{start.x - 10 * step, start.y - 8 * step}));
    EXPECT_TRUE(PollFor(
        [&] {
          GetWindowRect(setup_.window(), &after);
          return after.left == before.left - 10 * step && after.top == before.top - 8 * step;
        },
        5000))
        << "step " << step << ": the window is at (" << after.left << ", " << after.top << "), was at ("
        << before.left << ", " << before.top << ")";
  }
  ASSERT_TRUE(held.LetGo());
  EXPECT_TRUE(PollFor([&] { return !moving(); }, 5000)) << "the window still follows the pointer";
  GetWindowRect(setup_.window(), &after);
  EXPECT_EQ(after.left, before.left - 40);
  EXPECT_EQ(after.top, before.top - 32);
}

// Closed while the pointer still holds it (Alt+F4 in the middle of a drag): the program ends.
TEST_F(SetupWindow, ClosingDuringADragEndsTheProgram) {
  RECT rect;
  GetWindowRect(setup_.window(), &rect);
  const POINT start = {rect.left + 150, rect.top + 300};
  ASSERT_TRUE(SendPointer(0, start));
  ASSERT_TRUE(SendPointer(MOUSEEVENTF_LEFTDOWN, start));
  ButtonHeld held{start};
  ASSERT_TRUE(PollFor([&] { return Moving(setup_.window()); }, 5000)) << "the drag did not start";
  PostMessageW(setup_.window(), WM_CLOSE, 0, 0);
  DWORD code = 1;
  ASSERT_TRUE(setup_.WaitForExit(10000, &code)) << "the installer lives on without its window";
  EXPECT_EQ(code, 0u);
}

TEST_F(SetupWindow, SecondCopyRaisesTheFirstAndLeaves) {
  // The compatibility key exists on systems with the assistant; the first copy marks itself.
  // Made afresh (an earlier test's copies may have marked themselves in it), and removed.
  RegDeleteTreeW(HKEY_CURRENT_USER, kCompatAssistantKey);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kCompatAssistantKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ShowWindow(setup_.window(), SW_MINIMIZE);
  ASSERT_TRUE(PollFor([&] { return IsIconic(setup_.window()) != FALSE; }, 3000));

  const std::wstring copy = ScratchDir(L"second-copy") + L"KeloSetup_7.exe";
  ASSERT_TRUE(CopyFileW(SetupExe().c_str(), copy.c_str(), FALSE));
  Installer second;
  ASSERT_TRUE(second.Start(copy));
  DWORD code = 1;
  ASSERT_TRUE(second.WaitForExit(15000, &code)) << "the second copy keeps running";
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(PollFor([&] { return !IsIconic(setup_.window()) && IsWindowVisible(setup_.window()); }, 3000))
      << "the first window was not restored";
  EXPECT_EQ(GetForegroundWindow(), setup_.window());

  // Only the copy that runs wrote its mark; the second one wrote nothing.
  DWORD value = 0, size = sizeof(value), type = 0;
  EXPECT_EQ(RegQueryValueExW(key, SetupExe().c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND)
      << "the first copy started before the key existed";
  size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(key, copy.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND)
      << "the second copy wrote its mark";
  Installer third;
  setup_.Click(kIdClose);
  ASSERT_TRUE(setup_.WaitForExit(10000, &code));
  ASSERT_TRUE(third.Start(copy));
  ASSERT_NE(third.WaitForWindow(), nullptr);
  size = sizeof(value);
  EXPECT_EQ(RegQueryValueExW(key, copy.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 1u);
  RegCloseKey(key);
  third.Finish();
  // On a system without the assistant the key stays missing: a copy only uses it.
  RegDeleteTreeW(HKEY_CURRENT_USER, kCompatAssistantKey);
  Installer fourth;
  ASSERT_TRUE(fourth.Start(copy));
  ASSERT_NE(fourth.WaitForWindow(), nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kCompatAssistantKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
      << "a copy made the compatibility key";
  fourth.Finish();
  DeleteFileW(copy.c_str());
}

// A key pressed and let go through the system's input, as a person types, with a modifier
// key (VK_SHIFT, VK_MENU) held down, if one is given.
void Press(WORD key, WORD modifier = 0) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD vk, DWORD flags) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = flags;
    inputs.push_back(input);
  };
  if (modifier) add(modifier, 0);
  add(key, 0);
  add(key, KEYEVENTF_KEYUP);
  if (modifier) add(modifier, KEYEVENTF_KEYUP);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// The id of the control that has the keyboard focus in `window`'s thread, 0 for none.
int FocusedId(HWND window) {
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof(gui);
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
  return gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : 0;
}

// Whether the skin's focus mark (its green) runs along the top or bottom edge of `place`.
bool ShowsFocusMark(Installer& setup, const RECT& place) {
  const Image shot = setup.Capture();
  int marked = 0;
  for (int x = place.left; x < place.right; ++x)
    for (int y : {static_cast<int>(place.top), static_cast<int>(place.bottom) - 1})
      marked += (shot.At(x, y) & 0xFFFFFFu) == 0x2E9D5Bu ? 1 : 0;
  return marked > 4;
}

// Tabs until the control `id` has the focus; false when a Tab did not move it.
bool TabTo(HWND window, int id) {
  for (int i = 0; i < 16 && FocusedId(window) != id; ++i) {
    const int before = FocusedId(window);
    Press(VK_TAB);
    if (!PollFor([&] { return FocusedId(window) != before; }, 5000)) return false;
  }
  return FocusedId(window) == id;
}

// Presses Tab once more than `round` has controls, and gives the controls it went to: the
// round's, in its order, from wherever the focus was.
std::vector<int> WalkTheTabRound(HWND window, const std::vector<int>& round) {
  std::vector<int> walked;
  for (size_t i = 0; i <= round.size(); ++i) {
    const int before = FocusedId(window);
    Press(VK_TAB);
    if (!PollFor([&] { return FocusedId(window) != before && FocusedId(window) != 0; }, 5000)) {
      ADD_FAILURE() << "Tab did not move";
      return walked;
    }
    walked.push_back(FocusedId(window));
  }
  const size_t start = std::find(round.begin(), round.end(), walked[0]) - round.begin();
  EXPECT_LT(start, round.size()) << "Tab went to control " << walked[0];
  for (size_t i = 0; i < walked.size() && start < round.size(); ++i)
    EXPECT_EQ(walked[i], round[(start + i) % round.size()]) << "Tab " << i << " of " << testing::PrintToString(walked);
  return walked;
}

TEST_F(SetupWindow, KeyboardWalksTheControlsTogglesAndCloses) {
  HWND window = setup_.window();
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  auto focused = [&] { return FocusedId(window); };
  // Tab walks the visible controls in a fixed round; Shift+Tab walks it back.
  const std::vector<int> round = {kIdQuickInstall, kIdLicenceBox, kIdLicenceLabel, kIdExpand, kIdClose};
  const std::vector<int> walked = WalkTheTabRound(window, round);
  ASSERT_EQ(walked.size(), round.size() + 1);
  const int last = walked.back();
  Press(VK_TAB, VK_SHIFT);
  ASSERT_TRUE(PollFor([&] { return focused() != last; }, 5000));
  EXPECT_EQ(focused(), walked[walked.size() - 2]) << "Shift+Tab does not go back";
  // The arrows walk the same round, onto no label but the licence words.
  for (const WORD arrow : {VK_UP, VK_UP, VK_DOWN, VK_RIGHT, VK_LEFT, VK_LEFT}) {
    const int before = focused();
    const size_t at = std::find(round.begin(), round.end(), before) - round.begin();
    ASSERT_LT(at, round.size());
    const bool back = arrow == VK_UP || arrow == VK_LEFT;
    Press(arrow);
    ASSERT_TRUE(PollFor([&] { return focused() != before; }, 5000)) << "an arrow did not move";
    EXPECT_EQ(focused(), round[(at + (back ? round.size() - 1 : 1)) % round.size()]) << "arrow " << arrow;
  }

  // Space toggles the focused box, which the skin marks as focused.
  while (focused() != kIdLicenceBox) {
    const int before = focused();
    Press(VK_TAB);
    ASSERT_TRUE(PollFor([&] { return focused() != before; }, 5000));
  }
  ASSERT_TRUE(setup_.IsChecked(kIdLicenceBox));
  Press(VK_SPACE);
  EXPECT_TRUE(PollFor([&] { return !setup_.IsChecked(kIdLicenceBox); }, 5000)) << "Space did not toggle the box";
  Press(VK_SPACE);
  EXPECT_TRUE(PollFor([&] { return setup_.IsChecked(kIdLicenceBox); }, 5000));
  const RECT box = setup_.ClientRect(setup_.Control(kIdLicenceBox));
  EXPECT_TRUE(PollFor([&] { return ShowsFocusMark(setup_, box); }, 5000)) << "no focus mark on the focused box";

  // Esc closes the window as the close button does.
  Press(VK_ESCAPE);
  DWORD code = 1;
  ASSERT_TRUE(setup_.WaitForExit(10000, &code)) << "Esc did not close the installer";
  EXPECT_EQ(code, 0u);
}

// The licence words are reached with Tab like the controls, marked when focused, and open
// the agreement on Enter and on Space, as a click does: Enter there installs nothing.
TEST_F(SetupWindow, KeyboardOpensTheLicence) {
  const std::wstring urls = ScratchDir(L"licence-keys");
  RegisterUrlRecorder(urls);
  HWND window = setup_.window();
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  ASSERT_TRUE(TabTo(window, kIdLicenceLabel));
  const RECT words = setup_.ClientRect(setup_.Control(kIdLicenceLabel));
  EXPECT_TRUE(PollFor([&] { return ShowsFocusMark(setup_, words); }, 5000)) << "no focus mark on the licence words";
  Press(VK_RETURN);
  EXPECT_TRUE(PollFor([&] { return RecordedUrls(urls).size() == 1; }, 15000)) << "Enter did not open the licence";
  Press(VK_SPACE);
  EXPECT_TRUE(PollFor([&] { return RecordedUrls(urls).size() == 2; }, 15000)) << "Space did not open the licence";
  ASSERT_TRUE(setup_.Barrier());
  ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
  EXPECT_EQ(RecordedUrls(urls), (std::vector<std::wstring>{kLicenceUrl, kLicenceUrl}));
  EXPECT_TRUE(setup_.IsVisible(kIdQuickInstall)) << "Enter on the licence words installed";
  EXPECT_TRUE(setup_.IsChecked(kIdLicenceBox)) << "the keys changed the box";
  // The mark goes with the focus.
  ASSERT_TRUE(TabTo(window, kIdExpand));
  EXPECT_TRUE(PollFor([&] { return !ShowsFocusMark(setup_, words); }, 5000)) << "the mark stayed behind";
}

TEST_F(SetupWindow, EnterInstallsFromTheCollapsedView) {
  const std::wstring dir = LocalAppData() + L"\\Kelo\\KeloBrowser";
  RemoveTree(dir);  // an earlier install's browser would stand for this one's
  HWND window = setup_.window();
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  Press(VK_RETURN);
  DWORD code = 1;
  ASSERT_TRUE(setup_.WaitForExit(60000, &code)) << "Enter did not install (the finished view closes itself)";
  EXPECT_EQ(code, 0u);
  EXPECT_NE(GetFileAttributesW((dir + L"\\KeloBrowser.exe").c_str()), INVALID_FILE_ATTRIBUTES);
}

// In the expanded view Tab walks its own round, Space unchecks an option, and Enter, with
// the focus on no button, installs as install-now does: with that option as the user left it.
TEST_F(SetupWindow, KeyboardInstallsFromTheExpandedView) {
  const std::wstring dir = LocalAppData() + L"\\Kelo\\KeloBrowser";
  RemoveTree(dir);  // an earlier install's browser would stand for this one's
  const std::wstring link = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\" + kAssistShortcutName;
  DeleteFileW(link.c_str());
  HWND window = setup_.window();
  setup_.Click(kIdExpand);
  ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kExpandedHeight && setup_.IsVisible(kIdDirField); },
                      5000));
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  WalkTheTabRound(window, {kIdQuickInstall, kIdDirField, kIdBrowse, kIdDesktopShortcutBox, kIdTaskbarBox,
                           kIdDefaultBrowserBox, kIdExperienceBox, kIdInstallNow, kIdCollapse, kIdClose});
  ASSERT_TRUE(TabTo(window, kIdDesktopShortcutBox));
  Press(VK_SPACE);
  ASSERT_TRUE(PollFor([&] { return !setup_.IsChecked(kIdDesktopShortcutBox); }, 5000)) << "Space did not uncheck";
  Press(VK_RETURN);
  DWORD code = 1;
  ASSERT_TRUE(setup_.WaitForExit(60000, &code)) << "Enter did not install (the finished view closes itself)";
  EXPECT_EQ(code, 0u);
  EXPECT_NE(GetFileAttributesW((dir + L"\\KeloBrowser.exe").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES) << "the unchecked option was followed";
}

// Enter on a focused button does what that button does; only elsewhere does it install.
TEST_F(SetupWindow, EnterPressesTheFocusedButton) {
  HWND window = setup_.window();
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  // Every install starts its log afresh: none may appear.
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring log = std::wstring(temp) + L"KeloSetup.log";
  DeleteFileW(log.c_str());
  ASSERT_EQ(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(TabTo(window, kIdExpand));
  Press(VK_RETURN);
  ASSERT_TRUE(PollFor([&] { return setup_.ClientHeight() == kExpandedHeight && setup_.IsVisible(kIdDirField); },
                        5000))
      << "Enter on the expand button did not expand";
  ASSERT_TRUE(TabTo(window, kIdCollapse));
  Press(VK_RETURN);
  ASSERT_TRUE(PollFor([&] { return setup_.IsVisible(kIdQuickInstall) && !setup_.IsVisible(kIdDirField); }, 5000))
      << "Enter on the collapse button did not collapse";
  ASSERT_TRUE(TabTo(window, kIdClose));
  Press(VK_RETURN);
  DWORD code = 1;
  ASSERT_TRUE(setup_.WaitForExit(10000, &code)) << "Enter on the close button did not close";
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(GetFileAttributesW(log.c_str()), INVALID_FILE_ATTRIBUTES) << "Enter on a button installed";
}

// The progress view hides every control, the focused one too. The failure view gives the
// focus to the close button, which carries the failure's words for a screen reader, also
// when the window was in the background as the install failed; and a hidden control's
// command presses nothing, least of all another install from a view that offers none. A
// repeated failure's feedback link is reached by the keyboard and by screen readers.
TEST_F(SetupWindow, AFailureGivesTheFocusToTheCloseButton) {
  setup_.Finish();  // one copy per session
  const std::wstring blocked = ScratchDir(L"keys-blocked") + L"KeloBrowser";
  CreateDirectoryW(blocked.c_str(), nullptr);
  const std::wstring blocker = blocked + L"\\Lib";  // a file where the payload needs a folder
  const std::wstring log = TempRoot() + L"KeloSetup.log";
  // In the background case the keyboard is not used once the installer is back in front:
  // under Wine the display's word of where the focus went may come late, and take it away.
  const struct {
    const char* view;
    bool in_front;
    bool feedback;
  } cases[] = {{"in front", true, false}, {"in front, asking for feedback", true, true}, {"in the background", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.view);
    ComScope com;
    std::vector<IAccessible*> held;  // released once the installer has ended
    SetFailureMemory(c.feedback ? 1 : -1);  // a failure before asks for feedback
    CloseHandle(CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(FileExists(blocker));
    Installer setup;
    ASSERT_TRUE(setup.Start(SetupExe(), /*debugged=*/true, L"/D=" + blocked));
    HWND window = setup.WaitForWindow();
    ASSERT_NE(window, nullptr);
    if (c.feedback) {
      // Before the failure the link is not shown: a reader's action on it opens nothing,
      // and says so.
      ComScope com;
      IAccessible* link = AccessibleOf(setup.Control(kIdFeedbackLink));
      ASSERT_NE(link, nullptr);
      EXPECT_NE(link->accDoDefaultAction(AccessibleSelf()), S_OK);
      link->Release();
    }
    ASSERT_TRUE(setup.Barrier());
    SetForegroundWindow(window);
    ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
    DeleteFileW(log.c_str());
    IAccessible* words = AccessibleOf(setup.Control(kIdProgressWords));
    ASSERT_NE(words, nullptr);
    held.push_back(words);
    // Read once before the install's threads are held: the installer's first answer to
    // another process starts a thread of its own.
    ReadAccessible(words);
    setup.HoldNewThreads(true);
    Press(VK_RETURN);
    ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 10000)) << "no install started";
    if (c.in_front) {
      // The progress view's focus rests on its words, a progress bar to screen readers.
      AccessibleReading reading;
      EXPECT_TRUE(ReadAccessibleWithin(words, 5000, [&] { setup.ReleaseHeldThreads(); }, &reading))
          << "the installer did not answer a screen reader";
      EXPECT_EQ(reading, (AccessibleReading{ROLE_SYSTEM_PROGRESSBAR, kInstallingWords, L"0%"}));
      EXPECT_TRUE(PollFor([&] { return FocusedId(window) == kIdProgressWords; }, 5000))
          << "the progress view left the focus on control " << FocusedId(window);
      // Alt+F4, like Esc, does not end a running install. Posted, to be handled in order
      // before the barriers (the second takes the close command the first key posts).
      PostMessageW(window, WM_SYSKEYDOWN, VK_F4, 0x20000001);  // with Alt held
      PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
      ASSERT_TRUE(setup.Barrier() && setup.Barrier() && IsWindowVisible(window))
          << "a key closed the window of a running install";
    }
    // A window of the test's own, put in front of the installer; gone before the installer
    // comes back to the front, so that no late word of the display's focus brings it back.
    HWND other = nullptr;
    if (!c.in_front) {
      other = CreateWindowExW(0, L"STATIC", L"in front", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                              nullptr, nullptr);
      ASSERT_NE(other, nullptr);
      SetForegroundWindow(other);
      ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == other; }, 5000));
    }
    setup.HoldNewThreads(false);
    setup.ReleaseHeldThreads();
    ASSERT_TRUE(PollFor([&] { return ReadFileBytes(log, "").find("outcome: failed") != std::string::npos; }, 60000))
        << "the install did not fail";
    ASSERT_TRUE(PollFor([&] { return setup.IsVisible(kIdClose); }, 10000)) << "no failure view";
    if (other) DestroyWindow(other);
    // The failure view holds its log no longer: a run in another logon session writes its own.
    // (The view may come up a moment before the worker lets the file go.)
    EXPECT_TRUE(PollFor(
        [&] { return ScopedHandle(CreateFileW(log.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)).IsValid(); },
        5000))
        << "the log stays held";
    // In front, asked again until it holds (the display may yet hand the front back to where
    // it was), its focus is on the close button.
    EXPECT_TRUE(PollFor(
        [&] {
          if (GetForegroundWindow() != window) SetForegroundWindow(window);
          return GetForegroundWindow() == window && FocusedId(window) == kIdClose;
        },
        5000))
        << "the focus stays on a hidden control, " << FocusedId(window);
    ASSERT_TRUE(DeleteFileW(blocker.c_str()));  // another install would now succeed
    HWND hidden = setup.Control(kIdQuickInstall);
    ASSERT_FALSE(IsWindowVisible(hidden));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kIdQuickInstall, BN_CLICKED), reinterpret_cast<LPARAM>(hidden));
    ASSERT_TRUE(setup.Barrier());
    EXPECT_NE(ReadFileBytes(log, "").find("outcome: failed"), std::string::npos) << "a hidden control installed";
    EXPECT_FALSE(FileExists(blocked + L"\\" + kBrowserExe));
    if (c.feedback) {
      const std::wstring urls = ScratchDir(L"feedback-keys");
      RegisterUrlRecorder(urls);
      ASSERT_TRUE(TabTo(window, kIdFeedbackLink)) << "the keyboard cannot reach the feedback link";
      Press(VK_RETURN);
      EXPECT_TRUE(PollFor([&] { return RecordedUrls(urls).size() == 1; }, 15000)) << "Enter on the link opened nothing";
      ComScope com;
      IAccessible* link = AccessibleOf(setup.Control(kIdFeedbackLink));
      ASSERT_NE(link, nullptr);
      const VARIANT self = AccessibleSelf();
      VARIANT role;
      VariantInit(&role);
      EXPECT_EQ(link->get_accRole(self, &role), S_OK);
      EXPECT_EQ(role.lVal, ROLE_SYSTEM_LINK);
      BSTR name = nullptr;
      EXPECT_EQ(link->get_accName(self, &name), S_OK);
      EXPECT_EQ(std::wstring(name ? name : L""), kFeedbackLink);
      SysFreeString(name);
      EXPECT_EQ(link->accDoDefaultAction(self), S_OK);
      link->Release();
      EXPECT_TRUE(PollFor([&] { return RecordedUrls(urls).size() == 2; }, 15000)) << "the reader's action opened nothing";
      ASSERT_TRUE(setup.Barrier());
      ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
      EXPECT_EQ(RecordedUrls(urls), (std::vector<std::wstring>{kForumUrl, kForumUrl}));
    }
    // The page opened may have taken the front too.
    if (c.in_front && !c.feedback) {
      // A held Enter (the one that started the install) repeats without closing the view.
      PostMessageW(setup.Control(kIdClose), WM_KEYDOWN, VK_RETURN, 0x401C0001);
      ASSERT_TRUE(setup.Barrier());
      ASSERT_TRUE(IsWindowVisible(window)) << "a held Enter closed the failure's view";
      Press(VK_RETURN);
    } else {
      setup.Click(kIdClose);
    }
    DWORD code = 0;
    ASSERT_TRUE(setup.WaitForExit(10000, &code)) << "the close button did not close";
    EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed));
    setup.Finish();
    for (IAccessible* accessible : held) accessible->Release();
  }
}

// A directory refused as the window starts disables the focused install button: the focus
// moves on, so the keyboard can still reach the directory to mend it.
TEST_F(SetupWindow, ARefusedDirectoryLeavesTheKeyboardAFocus) {
  setup_.Finish();  // one copy per session
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe(), false, L"/D=Q:\\Nope"));
  HWND window = setup.WaitForWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(setup.Barrier());
  SetForegroundWindow(window);
  ASSERT_TRUE(PollFor([&] { return GetForegroundWindow() == window; }, 5000)) << "the installer is not in front";
  // Waited for until handled: a Tab still pending would move the focus between TabTo's
  // looks, which could then step over the expand button every time.
  const int before = FocusedId(window);
  Press(VK_TAB);
  ASSERT_TRUE(PollFor([&] { return FocusedId(window) != before && FocusedId(window) != 0; }, 5000))
      << "Tab finds no focus to move";
  EXPECT_TRUE(TabTo(window, kIdExpand)) << "the way to the directory cannot be reached";
  setup.Finish();
}

TEST_F(SetupWindow, ScreenReadersFindEveryControlByItsWords) {
  const struct {
    int id;
    const wchar_t* name;
  } controls[] = {{kIdDirField, kDirFieldName},   {kIdClose, L"关闭"},           {kIdQuickInstall, L"极速安装"},   {kIdExpand, L"自定义安装"},
                  {kIdInstallNow, L"立即安装"},  {kIdBrowse, L"更改路径"},      {kIdCollapse, L"收起自定义安装"},
                  {kIdLicenceBox, kLicenceLabel}, {kIdDesktopShortcutBox, kDesktopShortcutLabel},
                  {kIdTaskbarBox, kTaskbarLabel}, {kIdDefaultBrowserBox, kDefaultBrowserLabel},
                  {kIdExperienceBox, kExperienceLabel}, {kIdLicenceLabel, kLicenceLabel},
                  {kIdDesktopShortcutLabel, kDesktopShortcutLabel}, {kIdTaskbarLabel, kTaskbarLabel},
                  {kIdDefaultBrowserLabel, kDefaultBrowserLabel},   {kIdExperienceLabel, kExperienceLabel}};
  ComScope com;
  const VARIANT self = AccessibleSelf();
  // Released once the installer has ended.
  std::vector<IAccessible*> held;
  for (const auto& c : controls) {
    IAccessible* accessible = AccessibleOf(setup_.Control(c.id));
    ASSERT_NE(accessible, nullptr) << "control " << c.id;
    held.push_back(accessible);
    BSTR name = nullptr;
    EXPECT_EQ(accessible->get_accName(self, &name), S_OK) << "control " << c.id;
    EXPECT_EQ(std::wstring(name ? name : L""), c.name) << "control " << c.id;
    SysFreeString(name);
    VARIANT role;
    VariantInit(&role);
    EXPECT_EQ(accessible->get_accRole(self, &role), S_OK);
    EXPECT_EQ(role.vt, VT_I4);
    const bool box = std::find(std::begin(kAllBoxes), std::end(kAllBoxes), c.id) != std::end(kAllBoxes);
    const int option_words[] = {kIdDesktopShortcutLabel, kIdTaskbarLabel, kIdDefaultBrowserLabel, kIdExperienceLabel};
    const bool words = std::find(std::begin(option_words), std::end(option_words), c.id) != std::end(option_words);
    const LONG expected_role = box                     ? ROLE_SYSTEM_CHECKBUTTON
                               : c.id == kIdLicenceLabel ? ROLE_SYSTEM_LINK
                               : c.id == kIdDirField     ? ROLE_SYSTEM_TEXT
                               : words                   ? ROLE_SYSTEM_STATICTEXT
                                                         : ROLE_SYSTEM_PUSHBUTTON;
    EXPECT_EQ(role.lVal, expected_role) << "control " << c.id;
    if (box) {
      // Every box starts checked; the licence box is unchecked and read again below.
      VARIANT state;
      VariantInit(&state);
      EXPECT_EQ(accessible->get_accState(self, &state), S_OK);
      EXPECT_TRUE(state.lVal & STATE_SYSTEM_CHECKED) << "control " << c.id << " reads as unchecked";
    }
  }
  // A reader that keeps the object hears the box's state as it is now.
  IAccessible* licence = AccessibleOf(setup_.Control(kIdLicenceBox));
  ASSERT_NE(licence, nullptr);
  held.push_back(licence);
  setup_.Click(kIdLicenceBox);
  ASSERT_TRUE(PollFor([&] { return !setup_.IsChecked(kIdLicenceBox); }, 3000));
  VARIANT state;
  VariantInit(&state);
  EXPECT_EQ(licence->get_accState(self, &state), S_OK);
  EXPECT_FALSE(state.lVal & STATE_SYSTEM_CHECKED) << "an unchecked box reads as checked";
  // The licence words are a link a reader can follow.
  const std::wstring urls = ScratchDir(L"licence-reader");
  RegisterUrlRecorder(urls);
  IAccessible* link = AccessibleOf(setup_.Control(kIdLicenceLabel));
  ASSERT_NE(link, nullptr);
  held.push_back(link);
  BSTR action = nullptr;
  EXPECT_EQ(link->get_accDefaultAction(self, &action), S_OK);
  EXPECT_EQ(std::wstring(action ? action : L""), L"打开");
  SysFreeString(action);
  VariantInit(&state);
  EXPECT_EQ(link->get_accState(self, &state), S_OK);
  EXPECT_TRUE(state.lVal & STATE_SYSTEM_FOCUSABLE) << "the licence link reads as out of the keyboard's reach";
  EXPECT_EQ(link->accDoDefaultAction(self), S_OK);
  EXPECT_TRUE(PollFor([&] { return RecordedUrls(urls).size() == 1; }, 15000)) << "the reader's action opened nothing";
  ASSERT_TRUE(setup_.Barrier());
  ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
  EXPECT_EQ(RecordedUrls(urls), std::vector<std::wstring>{kLicenceUrl});
  // The message a button's object asks its description with, posted by another program with
  // any address, writes nowhere.
  for (LPARAM address : {LPARAM{0}, LPARAM{0x1234}}) {
    PostMessageW(setup_.Control(kIdClose), WM_KELO_GETDESCRIPTION, 0, address);
    PostMessageW(setup_.Control(kIdProgressWords), WM_KELO_GETVALUE, 0, address);
  }
  ASSERT_TRUE(setup_.Barrier()) << "the installer fell over a posted description message";
  setup_.Click(kIdClose);
  DWORD code = 1;
  EXPECT_TRUE(setup_.WaitForExit(10000, &code)) << "the close button did not end the installer";
  for (IAccessible* accessible : held) accessible->Release();
}

}  // namespace
}  // namespace kelo::test
