// Whole installations driven from the installer window: the progress and finished views,
// the window closing itself, the process ending after its worker, and what the install
// leaves on the system: files, uninstall entry, identity, channel file, shortcuts and the
// started browser.
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"
#include "installer_driver.h"
#include "setup/install_transaction.h"
#include "sysreg_scratch.h"
#include "ui/window_layout.h"
#include "window_looks.h"

namespace kelo::test {
namespace {

constexpr int kEveryControl[] = {kIdClose,         kIdQuickInstall,        kIdExpand,         kIdBrowse,
                                 kIdInstallNow,    kIdCollapse,            kIdDesktopShortcutBox,
                                 kIdTaskbarBox,    kIdDefaultBrowserBox,   kIdLicenceBox,     kIdExperienceBox,
                                 kIdDesktopShortcutLabel, kIdTaskbarLabel, kIdDefaultBrowserLabel,
                                 kIdLicenceLabel,  kIdExperienceLabel,     kIdDirField};

std::wstring ReadUninstall(const wchar_t* value) {
  RegKey key;
  std::wstring text;
  if (key.Open(kUninstallKey) != ERROR_SUCCESS || key.ReadString(value, &text) != ERROR_SUCCESS) return L"<none>";
  return text;
}

// How long ago the system last stamped a change of this key: the writer's own instant.
ULONGLONG MillisecondsSinceKeyWrite(const wchar_t* subkey) {
  RegKey key;
  FILETIME written = {};
  if (key.Open(subkey) != ERROR_SUCCESS ||
      RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, &written) != ERROR_SUCCESS)
    return 0;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& t) { return ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart; };
  return (ticks(now) - ticks(written)) / 10000;
}

// The target of a shortcut file, or "<none>".
std::wstring ShortcutTarget(const std::wstring& link) {
  const Shortcut shortcut = ReadShortcut(link);
  return shortcut.loaded ? shortcut.target : L"<none>";
}

struct Shortcuts {
  std::wstring programs, product, uninstall, desktop, quick_launch;
};

Shortcuts ShortcutFiles() {
  const std::wstring programs = ShellFolder(CSIDL_PROGRAMS);
  const std::wstring product_folder =
      programs + L"\\" + kStartMenuVendorFolder + L"\\" + kProductName + L"\\";
  return Shortcuts{programs + L"\\" + kShortcutName, product_folder + kShortcutName,
                   product_folder + kUninstallShortcutName, ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\" + kAssistShortcutName,
                   ShellFolder(CSIDL_APPDATA) + kQuickLaunchFolder + kShortcutName};
}

// The browser that the last step starts shows its arguments in its title; closing it
// gives its mutex back.
bool CloseStartedBrowser(const wchar_t* title) {
  HWND browser = WaitForTitle(title, 20000);
  if (!browser) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(browser, &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  PostMessageW(browser, WM_CLOSE, 0, 0);
  const bool ended = process && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  if (process) CloseHandle(process);
  return ended;
}

class SetupInstall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Pins go through the shell's verbs on shortcut files; Wine has no handler for them,
    // so give it one that does nothing rather than an error box in the installer.
    HKEY key = nullptr;
    for (const wchar_t* verb : {L"Software\\Classes\\lnkfile\\shell\\startpin\\command",
                                L"Software\\Classes\\lnkfile\\shell\\taskbarpin\\command"}) {
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, verb, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == 0) {
        const std::wstring command = L"cmd.exe /c exit 0";
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
      }
    }
  }

  // A returning user, whatever ran before: the browser starts without the first-run
  // argument. The one test of a new user takes the identity away itself.
  void SetUp() override {
    RegKey identity;
    ASSERT_EQ(identity.Create(kIdentityKey), ERROR_SUCCESS);
    ASSERT_EQ(identity.WriteString(kIdentityValue, L"{6B29FC40-CA47-1067-B31D-00DD010662DA}"), ERROR_SUCCESS);
  }

  // Waits for the installer to close its own window and end with 0 after its worker.
  void ExpectSelfCloseAndExit(Installer& setup) {
    DWORD code = 1;
    ASSERT_TRUE(setup.WaitForExit(60000, &code)) << "the installer did not end";
    EXPECT_EQ(code, 0u);
  }

  // Ends a browser an install started, whatever the test's end.
  void TearDown() override { EndProcessesNamed(kBrowserExe); }

  // `failure_memory`: -1 once a run reached the finished view, which forgets it.
  void ExpectInstalledIn(const std::wstring& dir, int failure_memory = -1) {
    for (const wchar_t* file : {kBrowserExe, kUninstallExe, kStatIni})
      EXPECT_TRUE(FileExists(dir + file)) << "missing " << std::string(file, file + lstrlenW(file));
    for (const char* ours : {kStagingDir, kJournalName})
      EXPECT_FALSE(FileExists(dir + std::wstring(ours, ours + strlen(ours)))) << ours << " was left behind";
    EXPECT_TRUE(ReadUninstall(kInstallLocationValue) == dir) << "the uninstall entry points elsewhere";
    EXPECT_TRUE(ReadUninstall(L"UninstallString") == L"\"" + dir + kUninstallExe + L"\"");
    EXPECT_TRUE(ReadUninstall(L"DisplayName") == kProductName);
    EXPECT_EQ(FailureMemory(), failure_memory) << "the failure memory after a successful install";
  }
};

TEST_F(SetupInstall, QuickInstallShowsProgressThenFinishedAndCloses) {
  // A new user, with no installation recorded, whatever ran before.
  RegDeleteTreeW(HKEY_CURRENT_USER, kIdentityKey);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  const std::wstring exe = CopyInstaller(L"KeloSetup_2048.exe");
  SetFailureMemory(1);  // an earlier failure, forgotten by a success
  ComScope com;  // outlives the installer, which the objects below are released after
  Installer setup;
  ASSERT_TRUE(setup.Start(exe, /*debugged=*/true));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  ASSERT_TRUE(setup.Barrier());
  const std::wstring dir = setup.Text(setup.Control(kIdDirField));
  wchar_t local[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
  ASSERT_EQ(dir, std::wstring(local) + L"\\Kelo\\KeloBrowser\\");
  // Nothing an earlier test installed there, nor its shortcuts: what this install makes is
  // what is checked.
  RemoveTree(dir.substr(0, dir.size() - 1));
  const Shortcuts earlier = ShortcutFiles();
  for (const std::wstring* link :
       {&earlier.programs, &earlier.product, &earlier.desktop, &earlier.quick_launch, &earlier.uninstall})
    DeleteFileW(link->c_str());

  IAccessible* words = AccessibleOf(setup.Control(kIdProgressWords));
  ASSERT_NE(words, nullptr);
  // Read once before the install's threads are held: the installer's first answer to
  // another process starts a thread of its own.
  ReadAccessible(words);
  // The worker is held as it starts, so the progress view stays up to be looked at.
  setup.HoldNewThreads(true);
  setup.Click(kIdQuickInstall);
  ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 10000)) << "no install worker started";
  // Screen readers hear the pictures' words, and how far the install is.
  AccessibleReading installing;
  EXPECT_TRUE(ReadAccessibleWithin(words, 5000, [&] { setup.StopDebugging(); }, &installing))
      << "the installer did not answer a screen reader";
  EXPECT_EQ(installing, (AccessibleReading{ROLE_SYSTEM_PROGRESSBAR, kInstallingWords, L"0%"}));
  const Difference progress = AwaitLook(setup.window(), IndicatorLook(kImageInstalling, false), L"progress");
  EXPECT_EQ(progress.differing, 0) << "progress view: " << progress.Describe();
  for (int id : kEveryControl) EXPECT_FALSE(setup.IsVisible(id)) << "control " << id << " shows while installing";
  EXPECT_FALSE(IsWindowVisible(setup.StatusLabel()));
  setup.StopDebugging();

  // Read first: the finished view closes itself 2 s after it came.
  AccessibleReading done;
  EXPECT_TRUE(PollFor([&] { return (done = ReadAccessible(words)).name == kFinishedWords; }, kInstallWaitMs))
      << "the finished view's words are not read";
  EXPECT_EQ(done.value, L"100%");
  const Difference finished =
      AwaitLook(setup.window(), IndicatorLook(kImageFinished, false), L"finished", {}, kInstallWaitMs);
  EXPECT_EQ(finished.differing, 0) << "finished view: " << finished.Describe();
  HWND window = setup.window();
  ASSERT_TRUE(PollFor([&] { return !IsWindow(window); }, 10000)) << "the finished view does not close";
  // The view's own instant: the installer forgets the failure memory as it shows the
  // finished view, and the system stamps the key then. The close is seen at the latest
  // now, so a late look can only lengthen what is measured, never shorten it.
  ASSERT_EQ(FailureMemory(), -1) << "the finished view kept the failure memory";
  const ULONGLONG shown = MillisecondsSinceKeyWrite(kFailureMemoryKey);
  EXPECT_GT(shown, 1500u) << "the finished view closed after " << shown << " ms";
  ExpectSelfCloseAndExit(setup);

  ExpectInstalledIn(dir);
  RegKey identity;
  std::wstring guid;
  EXPECT_EQ(identity.Open(kIdentityKey), ERROR_SUCCESS);
  EXPECT_EQ(identity.ReadString(kIdentityValue, &guid), ERROR_SUCCESS);
  EXPECT_EQ(IniValue(dir + kStatIni, kStatSection, kChannelIdKey), L"2048");
  EXPECT_EQ(IniValue(dir + kStatIni, kStatSection, kIsNewUserKey), L"1");
  const Shortcuts links = ShortcutFiles();
  for (const std::wstring* link : {&links.programs, &links.product, &links.desktop, &links.quick_launch})
    EXPECT_EQ(ShortcutTarget(*link), dir + kBrowserExe) << "shortcut " << link->size();
  EXPECT_EQ(ShortcutTarget(links.uninstall), dir + kUninstallExe);
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser [-Setup]")) << "the browser was not started for a new user";
  words->Release();
}

// A folder where the install must fail: a plain file stands where the payload needs its
// "Lib" folder.
std::wstring BlockedInstallDir(const wchar_t* name) {
  const std::wstring dir = ScratchDir(name);
  ScopedHandle blocker(CreateFileW((dir + L"Lib").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  return blocker.IsValid() ? dir : std::wstring();
}

TEST_F(SetupInstall, ClosingDuringTheInstallWaitsForTheWorkerAndExitsWithItsOutcome) {
  // Only the finished view forgets an earlier failure, and this window goes before it.
  SetFailureMemory(1);
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "failing install" : "install");
    Installer setup;
    ASSERT_TRUE(setup.Start(SetupExe(), /*debugged=*/true));
    ASSERT_NE(setup.WaitForWindow(), nullptr);
    ASSERT_TRUE(setup.Barrier());
    const std::wstring dir = fails ? BlockedInstallDir(L"closed-early-blocked")
                                   : ScratchDir(L"closed-early") + L"KeloBrowser\\";
    ASSERT_FALSE(dir.empty());
    setup.SetDirectory(dir);
    ASSERT_TRUE(setup.Barrier());
    setup.HoldNewThreads(true);
    setup.Click(kIdQuickInstall);
    ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 10000));
    HWND window = setup.window();
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PollFor([&] { return !IsWindow(window); }, 10000)) << "WM_CLOSE did not destroy the window";
    // No window, but the process stays for its worker, and a logoff still waits for it.
    EXPECT_EQ(WaitForSingleObject(setup.process(), 2000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the installer ended while its worker was still to run";
    const HWND asked = setup.WaitForSessionWindow();
    ASSERT_NE(asked, nullptr) << "no window of the installer's is there to be asked while it installs";
    DWORD_PTR answer = 99;
    EXPECT_TRUE(SendMessageTimeoutW(asked, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(FALSE)) << "the session may end in the middle of the install";
    setup.ReleaseHeldThreads();
    DWORD code = 99;
    ASSERT_TRUE(setup.WaitForExit(60000, &code)) << "the installer did not end";
    // The window went before the worker's report: the exit code still tells the outcome.
    EXPECT_EQ(code, static_cast<DWORD>(fails ? kExitInstallFailed : kExitSuccess));
    if (fails) continue;
    ExpectInstalledIn(dir, /*failure_memory=*/1);
    EXPECT_EQ(IniValue(dir + kStatIni, kStatSection, kIsNewUserKey), L"0") << "the user was counted as new twice";
    EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
  }
}

// Esc (the dialog manager's IDCANCEL for it) does not close the window under a running
// install. The end of the session (a logoff, a shutdown) waits for it: asked, the window
// says no; told the session ends all the same, it returns only once the worker has.
TEST_F(SetupInstall, NeitherEscNorTheEndOfTheSessionCutsARunningInstallShort) {
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe(), /*debugged=*/true));
  HWND window = setup.WaitForWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(setup.Barrier());
  const std::wstring dir = ScratchDir(L"session-end") + L"KeloBrowser\\";
  setup.SetDirectory(dir);
  ASSERT_TRUE(setup.Barrier());
  const auto may_end = [&] {
    DWORD_PTR answer = 99;
    EXPECT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &answer));
    return answer;
  };
  EXPECT_EQ(may_end(), static_cast<DWORD_PTR>(TRUE)) << "nothing to wait for, but the session was held";
  setup.HoldNewThreads(true);
  setup.Click(kIdQuickInstall);
  ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 10000));
  EXPECT_TRUE(SendMessageTimeoutW(window, WM_COMMAND, IDCANCEL, 0, SMTO_NORMAL, 10000, nullptr));
  EXPECT_TRUE(IsWindow(window)) << "Esc closed the window in the middle of the install";
  EXPECT_EQ(may_end(), static_cast<DWORD_PTR>(FALSE)) << "the session may end in the middle of the install";
  SendNotifyMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  // Still there, and still busy with it: a window gone would not answer either.
  SetLastError(0);
  EXPECT_EQ(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, nullptr), 0)
      << "the window went on before the install had ended";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT)) << "the window went at the end of the session";
  setup.ReleaseHeldThreads();
  DWORD code = 99;
  ASSERT_TRUE(setup.WaitForExit(60000, &code)) << "the installer did not end";
  EXPECT_EQ(code, static_cast<DWORD>(kExitSuccess));
  ExpectInstalledIn(dir);
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

TEST_F(SetupInstall, ExpandedInstallShrinksTheWindowAndFollowsTheOptions) {
  const Shortcuts links = ShortcutFiles();
  DeleteFileW(links.desktop.c_str());
  DeleteFileW(links.quick_launch.c_str());
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe(), /*debugged=*/true));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  setup.Click(kIdExpand);
  ASSERT_TRUE(PollFor([&] { return setup.ClientHeight() == kExpandedHeight; }, 5000));
  const std::wstring typed = ScratchDir(L"expanded") + L"KeloBrowser";  // no final separator
  setup.SetDirectory(typed);
  // One box cleared, the other kept: each box rules its own step, not its neighbour's.
  setup.Click(kIdDesktopShortcutBox);
  ASSERT_TRUE(PollFor([&] { return !setup.IsChecked(kIdDesktopShortcutBox) && setup.IsChecked(kIdTaskbarBox); },
                        3000));
  ASSERT_TRUE(setup.Barrier());

  setup.HoldNewThreads(true);
  setup.Click(kIdQuickInstall);
  std::vector<int> heights;
  PollFor(
      [&] {
        RECT rect;
        GetWindowRect(setup.window(), &rect);
        const int height = rect.bottom - rect.top;
        if (heights.empty() || heights.back() != height) heights.push_back(height);
        return height == kCollapsedHeight;
      },
      5000);
  ASSERT_FALSE(heights.empty());
  EXPECT_EQ(heights.back(), kCollapsedHeight);
  // The shape follows on the timer's next beat.
  EXPECT_TRUE(PollFor([&] { return static_cast<bool>(setup.IsShapedFor(kCollapsedHeight)); }, 5000))
      << setup.IsShapedFor(kCollapsedHeight).message();
  // Sampling may miss steps, but whatever it sees lies on the way down in 20-pixel steps.
  for (size_t i = 0; i < heights.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(heights[i], heights[i - 1]) << "the window grew while shrinking";
    }
    const bool on_the_way = heights[i] == kCollapsedHeight ||
                            (heights[i] <= kExpandedHeight && (kExpandedHeight - heights[i]) % kShrinkStep == 0);
    EXPECT_TRUE(on_the_way) << "a height of " << heights[i] << " pixels while shrinking";
  }
  // The progress view keeps the expanded artwork, cut at 400 pixels.
  ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 10000));
  const Difference progress =
      AwaitLook(setup.window(), IndicatorLook(kImageInstalling, true), L"progress_expanded");
  EXPECT_EQ(progress.differing, 0) << progress.Describe();
  setup.ReleaseHeldThreads();
  ExpectSelfCloseAndExit(setup);

  ExpectInstalledIn(typed + L"\\");
  EXPECT_EQ(ShortcutTarget(links.programs), typed + L"\\" + kBrowserExe);
  EXPECT_FALSE(FileExists(links.desktop)) << "a desktop shortcut although the box was cleared";
  EXPECT_EQ(ShortcutTarget(links.quick_launch), typed + L"\\" + kBrowserExe) << "the kept box made no quick-launch shortcut";
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

std::wstring DamagedInstaller(bool drop_digest);

TEST_F(SetupInstall, InstallNowStopsTheRunningBrowserOfTheInstallation) {
  // An installation of its own to start the browser from.
  const std::wstring dir = ScratchDir(L"installed") + L"KeloBrowser\\";
  {
    Installer first;
    ASSERT_TRUE(first.Start(SetupExe()));
    ASSERT_NE(first.WaitForWindow(), nullptr);
    first.SetDirectory(dir);
    ASSERT_TRUE(first.Barrier());
    first.Click(kIdQuickInstall);
    ExpectSelfCloseAndExit(first);
    ASSERT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
  }
  ASSERT_EQ(ReadUninstall(kInstallLocationValue), dir);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION browser = {};
  std::wstring command = L"\"" + dir + kBrowserExe + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &browser));
  CloseHandle(browser.hThread);
  ASSERT_NE(WaitForTitle(L"KeloBrowser []", 10000), nullptr);

  // A damaged installer, which can install nothing, ends nothing either.
  {
    const std::wstring damaged = DamagedInstaller(/*drop_digest=*/false);
    ASSERT_FALSE(damaged.empty()) << "could not damage a copy";
    Installer setup;
    ASSERT_TRUE(setup.Start(damaged));
    ASSERT_NE(setup.WaitForWindow(), nullptr);
    ASSERT_TRUE(PollFor([&] { return IsWindowVisible(setup.WarningLabel()) != FALSE; }, kRunningCheckWaitMs));
    setup.Click(kIdExpand);
    ASSERT_TRUE(PollFor([&] { return setup.IsVisible(kIdInstallNow); }, 5000));
    setup.Click(kIdInstallNow);
    const Difference failure = AwaitLook(setup.window(), FailureLook(), L"damaged_install_now", {}, kInstallWaitMs);
    EXPECT_EQ(failure.differing, 0) << "failure view: " << failure.Describe();
    EXPECT_EQ(WaitForSingleObject(browser.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a damaged installer ended the running browser";
    setup.Click(kIdClose);
    DWORD code = 0;
    ASSERT_TRUE(setup.WaitForExit(20000, &code));
    EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed));
  }

  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe()));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  ASSERT_TRUE(PollFor([&] { return IsWindowVisible(setup.WarningLabel()) != FALSE; }, kRunningCheckWaitMs));
  setup.Click(kIdExpand);
  ASSERT_TRUE(PollFor([&] { return setup.IsVisible(kIdInstallNow); }, 5000));
  ASSERT_EQ(setup.Text(setup.Control(kIdDirField)), dir) << "the proposal is not the recorded location";
  // A directory typed while the browser runs keeps install-now, which ends it.
  setup.SetDirectory(dir);
  ASSERT_TRUE(setup.Barrier());
  EXPECT_TRUE(IsWindowEnabled(setup.Control(kIdInstallNow))) << "no install button while the browser runs";
  // The taskbar box cleared, the desktop one kept: the other half of each box ruling its step.
  // The first install's shortcuts go, so that only this one's can be found.
  const Shortcuts links = ShortcutFiles();
  ASSERT_TRUE(DeleteFileW(links.quick_launch.c_str()));
  ASSERT_TRUE(DeleteFileW(links.desktop.c_str()));
  setup.Click(kIdTaskbarBox);
  ASSERT_TRUE(PollFor([&] { return !setup.IsChecked(kIdTaskbarBox) && setup.IsChecked(kIdDesktopShortcutBox); }, 3000));
  setup.Click(kIdInstallNow);
  EXPECT_EQ(WaitForSingleObject(browser.hProcess, 30000), WAIT_OBJECT_0) << "the running browser was not stopped";
  CloseHandle(browser.hProcess);
  ExpectSelfCloseAndExit(setup);
  ExpectInstalledIn(dir);
  EXPECT_FALSE(FileExists(links.quick_launch)) << "a quick-launch shortcut although the box was cleared";
  EXPECT_EQ(ShortcutTarget(links.desktop), dir + kBrowserExe) << "the kept box made no desktop shortcut";
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

TEST_F(SetupInstall, ABrowserRunningFromElsewhereDoesNotStopTheInstall) {
  // The warning shows for any running browser, but with no installation on record there
  // is nothing to stop, and the install goes on.
  RegKey uninstall;
  ASSERT_EQ(uninstall.Create(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"), ERROR_SUCCESS);
  RegDeleteTreeW(uninstall.Get(), L"KeloBrowser");
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, kBrowserMutexName));
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe()));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  ASSERT_TRUE(PollFor([&] { return IsWindowVisible(setup.WarningLabel()) != FALSE; }, kRunningCheckWaitMs));
  const std::wstring dir = setup.Text(setup.Control(kIdDirField));
  setup.Click(kIdQuickInstall);
  const Difference finished = AwaitLook(setup.window(), IndicatorLook(kImageFinished, false), nullptr, {}, kInstallWaitMs);
  EXPECT_EQ(finished.differing, 0) << "finished view: " << finished.Describe();
  ExpectSelfCloseAndExit(setup);
  ExpectInstalledIn(dir);
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

// Runs an install into `dir` from the collapsed view and waits for the failure view.
Difference FailInstall(Installer& setup, const std::wstring& dir, const wchar_t* screenshot) {
  setup.SetDirectory(dir);
  setup.Barrier();
  setup.Click(kIdQuickInstall);
  return AwaitLook(setup.window(), FailureLook(), screenshot, {}, kInstallWaitMs);
}

// /D= on the command line picks the window's directory too, and the install goes there.
TEST_F(SetupInstall, TheCommandLineDirectoryIsTheWindowsToo) {
  const std::wstring dir = ScratchDir(L"given") + L"My Games\\Kelo";
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe(), false, L"/D=" + dir));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  ASSERT_TRUE(setup.Barrier());
  EXPECT_EQ(setup.Text(setup.Control(kIdDirField)), dir);
  setup.Click(kIdQuickInstall);
  ExpectSelfCloseAndExit(setup);
  ExpectInstalledIn(dir + L"\\");
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));

  // An empty /D= (a script's unset variable) is no directory: nothing installs elsewhere
  // than asked at a click on the collapsed view, which never shows the field.
  Installer unset;
  ASSERT_TRUE(unset.Start(SetupExe(), false, L"/D="));
  ASSERT_NE(unset.WaitForWindow(), nullptr);
  ASSERT_TRUE(unset.Barrier());
  EXPECT_EQ(unset.Text(unset.Control(kIdDirField)), L"");
  EXPECT_FALSE(IsWindowEnabled(unset.Control(kIdQuickInstall)));
  unset.Finish();
}

// From the expanded view a failure brings its controls back: another try, after a better
// directory, shows nothing of the failure and ends as a success.
TEST_F(SetupInstall, ARetryAfterAFailureShowsNothingOfIt) {
  SetFailureMemory(-1);
  const std::wstring blocked = BlockedInstallDir(L"retry-blocked");
  ASSERT_FALSE(blocked.empty());
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe()));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  setup.Click(kIdExpand);
  ASSERT_TRUE(PollFor([&] { return setup.ClientHeight() == kExpandedHeight; }, 5000));
  setup.SetDirectory(blocked);
  ASSERT_TRUE(setup.Barrier());
  setup.Click(kIdQuickInstall);
  ASSERT_TRUE(setup.Barrier());  // the click handled: the install runs, its controls hidden
  ASSERT_TRUE(PollFor([&] { return setup.IsVisible(kIdCollapse); }, kInstallWaitMs)) << "no way to try again";
  const std::wstring dir = ScratchDir(L"retry") + L"KeloBrowser\\";
  setup.SetDirectory(dir);
  // The install shrank the window: install-now, below its edge, stays hidden, out of reach
  // of Tab and Enter.
  ASSERT_TRUE(PollFor([&] { return setup.ClientHeight() == kCollapsedHeight; }, 5000));
  ASSERT_TRUE(setup.Barrier());
  EXPECT_FALSE(setup.IsVisible(kIdInstallNow)) << "a button below the window's edge takes the keyboard";
  // The advice stands clear of the controls that came back, above the directory row.
  const RECT risen = {kAdviceRows.left, kAdviceRows.top - kExpandedFailureRise, kAdviceRows.right,
                      kAdviceRows.bottom - kExpandedFailureRise};
  EXPECT_TRUE(PollFor([&] { return CountReddish(setup.Capture(), risen) > 200; }, kRepaintWaitMs)) << "no advice";
  const RECT directory_and_options = {0, kDirFieldRect.top, kWindowWidth, kLogLinePos.y - 1};
  EXPECT_EQ(CountReddish(setup.Capture(), directory_and_options), 0) << "advice among the directory row and the options";
  // Collapsed and expanded again, the risen words keep the quick-install button's place:
  // install-now, below them, tries again.
  setup.Click(kIdCollapse);
  ASSERT_TRUE(setup.Barrier());
  setup.Click(kIdExpand);
  ASSERT_TRUE(PollFor([&] { return setup.ClientHeight() == kExpandedHeight; }, 5000));
  ASSERT_TRUE(setup.Barrier());
  EXPECT_FALSE(setup.IsVisible(kIdQuickInstall)) << "the quick-install button over the failure's words";
  setup.Click(kIdInstallNow);
  const Difference finished =
      AwaitLook(setup.window(), IndicatorLook(kImageFinished, false), L"retry_finished", {}, kInstallWaitMs);
  EXPECT_EQ(finished.differing, 0) << "finished view after a retry: " << finished.Describe();
  ExpectSelfCloseAndExit(setup);
  ExpectInstalledIn(dir);
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

// The running browser's warning, hidden while the install ran, is back with the controls
// of another try from the expanded view; the collapsed view's failure, with no install
// control, never shows it, even for a browser started after it.
TEST_F(SetupInstall, TheRunningWarningComesBackOnlyForAnotherTry) {
  const std::wstring blocked = BlockedInstallDir(L"warning-blocked");
  ASSERT_FALSE(blocked.empty());
  for (const bool expanded : {true, false}) {
    SCOPED_TRACE(expanded ? "expanded" : "collapsed");
    SetFailureMemory(-1);
    ScopedHandle running;
    if (expanded) running.Reset(CreateMutexW(nullptr, FALSE, kBrowserMutexName));
    Installer setup;
    ASSERT_TRUE(setup.Start(SetupExe(), false, L"/D=" + blocked));
    ASSERT_NE(setup.WaitForWindow(), nullptr);
    if (expanded) {
      ASSERT_TRUE(PollFor([&] { return IsWindowVisible(setup.WarningLabel()) != FALSE; }, kRunningCheckWaitMs));
      setup.Click(kIdExpand);
      ASSERT_TRUE(PollFor([&] { return setup.ClientHeight() == kExpandedHeight; }, 5000));
    }
    setup.Click(kIdQuickInstall);
    ASSERT_TRUE(setup.Barrier());
    // The close button shows before the click too: the failure is known by what it writes.
    ASSERT_TRUE(PollFor([&] { return FailureMemory() == 1; }, kInstallWaitMs)) << "no failure";
    ASSERT_TRUE(PollFor([&] { return setup.IsVisible(kIdClose); }, kInstallWaitMs)) << "no failure view";
    if (!expanded) running.Reset(CreateMutexW(nullptr, FALSE, kBrowserMutexName));
    // The running check ticks every 100 ms: two seconds are twenty chances to show it.
    EXPECT_EQ(PollFor([&] { return IsWindowVisible(setup.WarningLabel()) != FALSE; }, 2000), expanded)
        << (expanded ? "another try would stop the running browser with no warning on screen"
                     : "a warning to a failure view without an install button");
    // The check runs again after the failure: a browser closed now takes its warning along.
    if (!expanded) continue;
    running.Reset();
    EXPECT_TRUE(PollFor([&] { return !IsWindowVisible(setup.WarningLabel()); }, kRunningCheckWaitMs))
        << "the running check did not start again";
  }
}

TEST_F(SetupInstall, FailuresShowAdviceThenTheFeedbackLink) {
  // A memory of another type than a number (left by some other program) is no earlier
  // failure: the text "1" must not count as one.
  {
    RegKey memory;
    ASSERT_EQ(memory.Create(kFailureMemoryKey), ERROR_SUCCESS);
    ASSERT_EQ(memory.WriteString(kFailureMemoryValue, L"1"), ERROR_SUCCESS);
  }
  const std::wstring dir = BlockedInstallDir(L"blocked");
  ASSERT_FALSE(dir.empty());
  const std::wstring urls = ScratchDir(L"urls");
  RegisterUrlRecorder(urls);

  {
    Installer setup;
    ASSERT_TRUE(setup.Start(SetupExe()));
    ASSERT_NE(setup.WaitForWindow(), nullptr);
    // The painted words reach screen readers with the close button, also through an object
    // a reader got before the failure and kept.
    ComScope com;
    IAccessible* close = AccessibleOf(setup.Control(kIdClose));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(AccessibleDescription(close).find(kFailureAdvice3), std::wstring::npos);
    const Difference failure = FailInstall(setup, dir, L"failure");
    EXPECT_EQ(failure.differing, 0) << "failure view: " << failure.Describe();
    EXPECT_TRUE(setup.IsVisible(kIdClose)) << "no way to close the failure view";
    const std::wstring said = AccessibleDescription(close);
    EXPECT_NE(said.find(kFailureAdvice3), std::wstring::npos) << "the advice is not read out";
    EXPECT_NE(said.find(kLogLinePrefix + TempRoot() + L"KeloSetup.log"), std::wstring::npos)
        << "the log's place is not read out: " << testing::PrintToString(said);
    const Image shot = setup.Capture();
    EXPECT_GT(CountReddish(shot, kAdviceRows), 200) << "no advice lines";
    EXPECT_EQ(CountBluish(shot, kAdviceRows), 0) << "a feedback title on the first failure";
    EXPECT_GT(CountDarkGrey(shot, kLogRow), 100) << "no log line";
    EXPECT_EQ(FailureMemory(), 1) << "the failure was not remembered";
    // The failure view stays up: it does not close itself like the finished view.
    EXPECT_EQ(WaitForSingleObject(setup.process(), 2500), static_cast<DWORD>(WAIT_TIMEOUT));
    setup.Click(kIdClose);
    DWORD code = 0;
    ASSERT_TRUE(setup.WaitForExit(20000, &code));
    EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed)) << "a failed install ended as a success";
    close->Release();
  }

  // The next run that fails asks for feedback instead, and the words open the forum. It
  // needs a folder of its own: the first run's files make the first folder an earlier
  // installation, which an install clears.
  const std::wstring again = BlockedInstallDir(L"blocked-again");
  ASSERT_FALSE(again.empty());
  Installer setup;
  ASSERT_TRUE(setup.Start(SetupExe()));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  const Difference failure = FailInstall(setup, again, L"failure_feedback");
  EXPECT_EQ(failure.differing, 0) << "failure view: " << failure.Describe();
  const Image shot = setup.Capture();
  EXPECT_GT(CountBluish(shot, kFeedbackRows), 50) << "no feedback title";
  EXPECT_GT(CountReddish(shot, kFeedbackRows), 50) << "no feedback link";
  EXPECT_EQ(FailureMemory(), 1);
  setup.ClickAt(POINT{kFeedbackLinkPos.x + 10, kFeedbackLinkPos.y + 6});
  ASSERT_TRUE(PollFor([&] { return !RecordedUrls(urls).empty(); }, 15000)) << "the forum was not opened";
  // The click handled, every page it opened has its recorder started: all are counted.
  ASSERT_TRUE(setup.Barrier());
  ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
  EXPECT_EQ(RecordedUrls(urls), std::vector<std::wstring>{kForumUrl});
  EXPECT_EQ(RecordedShowCommands(urls), std::vector<int>{SW_SHOWNORMAL}) << "the forum opened out of sight";
  EXPECT_FALSE(GetWindowLongPtrW(setup.window(), GWL_EXSTYLE) & WS_EX_TOPMOST) << "the window covers the forum";
  for (const char* ours : {kStagingDir, kJournalName})
    EXPECT_FALSE(FileExists(again + std::wstring(ours, ours + strlen(ours)))) << ours << " was left behind";
}

// Every resource of a program, as read from a copy of it.
struct Resource {
  std::wstring type;  // "#n" for a numbered type
  std::wstring name;
  WORD language;
  std::vector<uint8_t> data;
};

std::wstring ResourceKey(LPCWSTR key) {
  return IS_INTRESOURCE(key) ? L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(key)) : std::wstring(key);
}

LPCWSTR ResourceId(const std::wstring& key) {
  return key[0] == L'#' ? MAKEINTRESOURCEW(std::stoi(key.substr(1))) : key.c_str();
}

BOOL CALLBACK OnLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR out) {
  HRSRC found = FindResourceExW(module, type, name, language);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  reinterpret_cast<std::vector<Resource>*>(out)->push_back(
      {ResourceKey(type), ResourceKey(name), language, std::vector<uint8_t>(bytes, bytes + SizeofResource(module, found))});
  return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR out) {
  return EnumResourceLanguagesW(module, type, name, OnLanguage, out);
}

BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR out) { return EnumResourceNamesW(module, type, OnName, out); }

std::vector<Resource> ReadResources(const std::wstring& exe) {
  std::vector<Resource> all;
  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EnumResourceTypesW(image, OnType, reinterpret_cast<LONG_PTR>(&all));
  FreeLibrary(image);
  return all;
}

// A copy of the installer with its payload packet and the packet's checksum as `edit` leaves
// them (an empty one goes); every other resource is written anew as it was.
std::wstring InstallerCopy(const wchar_t* name, const std::function<void(std::vector<uint8_t>* packet,
                                                                          std::vector<uint8_t>* digest)>& edit) {
  const std::wstring copy = CopyInstaller(name);
  std::vector<Resource> resources = ReadResources(copy);
  const std::wstring file_type = kPacketResourceType;
  Resource* packet = nullptr;
  Resource* digest = nullptr;
  for (Resource& r : resources) {
    if (r.type == file_type && r.name == ResourceKey(MAKEINTRESOURCEW(kPacketResourceId))) packet = &r;
    if (r.type == file_type && r.name == ResourceKey(MAKEINTRESOURCEW(kPacketDigestResourceId))) digest = &r;
  }
  if (!packet || !digest) return L"";
  edit(&packet->data, &digest->data);
  HANDLE update = BeginUpdateResourceW(copy.c_str(), TRUE);
  for (const Resource& r : resources) {
    if (r.data.empty()) continue;
    UpdateResourceW(update, ResourceId(r.type), ResourceId(r.name), r.language, const_cast<uint8_t*>(r.data.data()),
                    static_cast<DWORD>(r.data.size()));
  }
  return EndUpdateResourceW(update, FALSE) ? copy : L"";
}

// Damaged on its way: a byte of its payload changed, or the payload's checksum gone.
std::wstring DamagedInstaller(bool drop_digest) {
  return InstallerCopy(drop_digest ? L"KeloSetup_nodigest.exe" : L"KeloSetup_flipped.exe",
                       [&](std::vector<uint8_t>* packet, std::vector<uint8_t>* digest) {
                         if (drop_digest) digest->clear();
                         else (*packet)[packet->size() / 2] ^= 0x01;
                       });
}

TEST_F(SetupInstall, DamagedInstallerSaysSoAndTouchesNothing) {
  const std::wstring urls = ScratchDir(L"urls");
  RegisterUrlRecorder(urls);
  for (bool drop_digest : {false, true}) {
    const std::wstring exe = DamagedInstaller(drop_digest);
    ASSERT_FALSE(exe.empty()) << "could not damage a copy";
    // The first run has no failure behind it and must leave the failure memory set; the
    // second has one, whose feedback link a damaged installer replaces by what is wrong.
    SetFailureMemory(drop_digest ? 1 : -1);
    const std::wstring dir = ScratchDir(L"damaged") + L"KeloBrowser\\";
    Installer setup;
    ASSERT_TRUE(setup.Start(exe));
    ASSERT_NE(setup.WaitForWindow(), nullptr);
    const Difference failure = FailInstall(setup, dir, drop_digest ? L"damaged_no_digest" : L"damaged");
    EXPECT_EQ(failure.differing, 0) << "failure view: " << failure.Describe();
    const Image shot = setup.Capture();
    EXPECT_GT(CountReddish(shot, kAdviceRows), 100) << "no words on the damage";
    EXPECT_EQ(CountBluish(shot, kFeedbackRows), 0) << "a feedback title for a damaged installer";
    EXPECT_EQ(FailureMemory(), 1);
    EXPECT_FALSE(FileExists(dir)) << "the damaged installer made the install directory";
    // Where the feedback link would be, the damage's words are: a click there opens nothing.
    setup.ClickAt(kFeedbackLinkPos);
    ASSERT_TRUE(setup.Barrier());
    ASSERT_TRUE(WaitForProcessesToEnd(L"url_recorder.exe"));
    EXPECT_EQ(RecordedUrls(urls), std::vector<std::wstring>{}) << "a link hidden under the damage's words";
    setup.Click(kIdClose);
    DWORD code = 0;
    ASSERT_TRUE(setup.WaitForExit(20000, &code));
    EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed));
  }
}

std::vector<uint8_t> ReadHostFile(const char* path) {
  const std::string bytes = ReadFileBytes(HostPath(path));
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST_F(SetupInstall, ProgressBarFillsAsTheFilesAreWritten) {
  // A browser-sized payload, so the install lasts long enough to be watched.
  const std::vector<uint8_t> big = ReadHostFile(KELO_BIG_PACKET);
  const std::vector<uint8_t> big_digest = ReadHostFile(KELO_BIG_PACKET ".sha256");
  ASSERT_GT(big.size(), 1000000u);
  const std::wstring exe = InstallerCopy(L"KeloSetup_big.exe", [&](std::vector<uint8_t>* packet, std::vector<uint8_t>* digest) {
    *packet = big;
    *digest = big_digest;
  });
  ASSERT_FALSE(exe.empty());
  Installer setup;
  ASSERT_TRUE(setup.Start(exe));
  ASSERT_NE(setup.WaitForWindow(), nullptr);
  setup.SetDirectory(ScratchDir(L"progress") + L"KeloBrowser\\");
  setup.Barrier();
  const Image installing = LoadSkin(kImageInstalling);
  const int bar_y = 275 + installing.height + kProgressBarGap + kProgressBarHeight / 2;
  HWND window = setup.window();
  setup.Click(kIdQuickInstall);
  // The filled part of the bar's middle row, as often as the screen can be read, in the
  // order seen.
  std::vector<int> fills;
  PollFor(
      [&] {
        if (!IsWindow(window)) return true;
        const Image shot = setup.Capture();
        int filled = 0;
        for (int x = 214; x < 214 + installing.width && bar_y < shot.height; ++x)
          filled += (shot.At(x, bar_y) & 0xFFFFFFu) == 0x2E9D5Bu ? 1 : 0;
        if (filled > 0 && (fills.empty() || fills.back() != filled)) fills.push_back(filled);
        return false;
      },
      60000);
  EXPECT_GE(fills.size(), 2u) << "the bar showed " << fills.size() << " fill states";
  EXPECT_TRUE(std::is_sorted(fills.begin(), fills.end())) << "the bar went back: " << testing::PrintToString(fills);
  ExpectSelfCloseAndExit(setup);
  EXPECT_TRUE(CloseStartedBrowser(L"KeloBrowser []"));
}

}  // namespace
}  // namespace kelo::test
