// The first launch seen from the launched demo browser, and the stopping of running
// programs of the recorded installation seen from the processes themselves.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <vector>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg/launch.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::ScratchDir;

constexpr wchar_t kDemoClass[] = L"KeloDemoBrowser";

std::wstring ModulePathOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
  if (!process) return L"";
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameExW(process, nullptr, path, MAX_PATH + 1);
  CloseHandle(process);
  return path;
}

void CloseAndWait(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
  ASSERT_NE(process, nullptr);
  TerminateProcess(process, 0);
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  CloseHandle(process);
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { test::CopyFileOrFail(test::HostPath(KELO_DEMO_BROWSER), dir_.dir() + kBrowserExe); }
  void TearDown() override { test::EndProcessesNamed(kBrowserExe); }

  ScratchDir dir_{L"kelo launch"};
};

TEST_F(LaunchTest, NewUserGetsTheSetupArgumentOthersNone) {
  struct Case {
    int32_t new_user;
    const wchar_t* title;
  } cases[] = {{1, L"KeloBrowser [-Setup]"}, {0, L"KeloBrowser []"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.new_user);
    CSetupLogic logic;
    logic.SetInstallDir(dir_.path().c_str());
    logic.new_user = c.new_user;
    ASSERT_EQ(logic.StepLaunch(), 1) << GetLastError();
    const HWND window = test::WaitForWindow(kDemoClass, [](const std::wstring&, HWND) { return true; });
    ASSERT_NE(window, nullptr) << "the browser never showed up";
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    EXPECT_STREQ(title, c.title);
    EXPECT_EQ(lstrcmpiW(ModulePathOf(window).c_str(), (dir_.dir() + kBrowserExe).c_str()), 0)
        << testing::PrintToString(ModulePathOf(window));
    // Asked to start hidden, as the installer asks; the demo browser shows itself anyway,
    // as a real one does, once it has noted what it was asked (the window is found before).
    EXPECT_TRUE(test::PollFor([&] { return IsWindowVisible(window) != FALSE; }, 10000));
    EXPECT_EQ(GetPropW(window, L"KeloShowRequested"), reinterpret_cast<HANDLE>(SW_HIDE + 1));
    CloseAndWait(window);
  }
}

// Nothing the installer starts starts in the folder the installer was started in (the
// downloads folder, where a planted library would be found by the started program's
// search): the browser starts in its own folder, anything else in the system folder.
TEST_F(LaunchTest, NothingStartsInTheInstallersFolder) {
  test::CopyFileOrFail(test::HostPath(KELO_FOLDER_RECORDER_EXE), dir_.dir() + kBrowserExe);
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const struct {
    const char* what;
    std::function<bool()> start;
    std::wstring expected;
  } cases[] = {
      {"the browser", [&] { return LaunchBrowser(dir_.dir(), false); }, dir_.path()},
      {"a page or program", [&] { return ShellOpen((dir_.dir() + kBrowserExe).c_str(), nullptr, SW_HIDE); }, system},
  };
  ScratchDir downloads(L"kelo downloads");
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring record = dir_.dir() + L"started-in.txt";
    DeleteFileW(record.c_str());
    ASSERT_TRUE(SetCurrentDirectoryW(downloads.path().c_str()));
    const bool started = c.start();
    SetCurrentDirectoryW(previous);
    ASSERT_TRUE(started) << GetLastError();
    ASSERT_TRUE(test::PollFor([&] { return test::FileExists(record); }, 15000)) << "it never started";
    const std::string bytes = test::ReadFileBytes(record);
    const std::wstring started_in(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    EXPECT_TRUE(SamePath(started_in, c.expected)) << testing::PrintToString(started_in);
  }
}

// A damaged browser program: the launch fails and returns, with no message box waiting for
// someone to close it (a silent install would hang there).
TEST_F(LaunchTest, ABrowserThatCannotStartFailsWithoutWaitingOnABox) {
  test::WriteFileBytes(dir_.dir() + kBrowserExe, "MZ not a program");
  EXPECT_FALSE(LaunchBrowser(dir_.dir(), true));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the damaged program was not reached";
}

// A start leaves this program's own error mode as it stands: an unattended run goes on
// answering its own failures without boxes. (The started program takes it without the
// crash report turned off; Wine passes no mode on, so that side is not seen here.) The
// shell's failure reaches the caller.
TEST_F(LaunchTest, AStartLeavesTheStartersErrorModeAndReportsTheShellsError) {
  const UINT test_mode = SetErrorMode(0);
  ChooseFailureBoxes(/*unattended=*/false, 1);  // which notes the mode started with: none
  const UINT unattended = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
  SetErrorMode(unattended);
  EXPECT_FALSE(ShellOpen((dir_.dir() + L"missing.exe").c_str(), nullptr, SW_HIDE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetErrorMode(), unattended);
  SetErrorMode(test_mode);
  ChooseFailureBoxes(/*unattended=*/false, 1);  // the tests after start from the test's own mode
}

TEST_F(LaunchTest, ShellOpenPassesParametersThrough) {
  ASSERT_TRUE(ShellOpen((dir_.dir() + kBrowserExe).c_str(), L"--a b", SW_HIDE));
  const HWND window = test::WaitForWindow(kDemoClass, [](const std::wstring&, HWND) { return true; });
  ASSERT_NE(window, nullptr);
  wchar_t title[256] = {};
  GetWindowTextW(window, title, 256);
  EXPECT_STREQ(title, L"KeloBrowser [--a b]");
  CloseAndWait(window);
}

// Programs of an earlier installation and of another folder, running, with the step run
// against the uninstall entry.
class StopRunningTest : public ::testing::Test {
 protected:
  struct Program {
    std::wstring path;
    HANDLE process = nullptr;
  };

  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey); }
  void TearDown() override {
    EndAll();
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  }

  void EndAll() {
    for (Program& p : programs_) {
      TerminateProcess(p.process, 0);
      WaitForSingleObject(p.process, 10000);
      CloseHandle(p.process);
    }
    programs_.clear();
  }

  // Copies `source` to `path` and starts it, waiting until it takes input, so that its
  // main module is known to the system.
  size_t Start(const char* source, const std::wstring& path) {
    if (!test::FileExists(path)) test::CopyFileOrFail(test::HostPath(source), path);
    Program p{path, test::StartProgram(path)};
    EXPECT_NE(p.process, nullptr) << testing::PrintToString(path);
    EXPECT_EQ(WaitForInputIdle(p.process, 15000), 0u) << testing::PrintToString(path);
    programs_.push_back(p);
    return programs_.size() - 1;
  }

  // Started suspended, as a program only just started: its module list is not there yet.
  size_t StartSuspended(const char* source, const std::wstring& path) {
    if (!test::FileExists(path)) test::CopyFileOrFail(test::HostPath(source), path);
    PROCESS_INFORMATION started = {};
    EXPECT_TRUE(test::CreateProcessPatiently(path, L"\"" + path + L"\"", CREATE_SUSPENDED, &started)) << GetLastError();
    if (started.hThread) CloseHandle(started.hThread);
    programs_.push_back({path, started.hProcess});
    return programs_.size() - 1;
  }

  bool Ended(size_t index) const { return WaitForSingleObject(programs_[index].process, 0) == WAIT_OBJECT_0; }

  std::vector<Program> programs_;
};

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(c));
  return text;
}

TEST_F(StopRunningTest, EndsTheWatchedProgramsOfTheRecordedFolderOnly) {
  ScratchDir installed(L"kelo installed");
  ScratchDir other(L"kelo other");
  // The recorded location in other letter case, with and without its final backslash, and
  // as a user may type it: slashes, a doubled separator.
  std::wstring slashed = installed.dir();
  for (wchar_t& c : slashed) c = c == L'\\' ? L'/' : c;
  const std::wstring doubled = installed.path() + L"\\\\";
  for (const std::wstring& location : {Upper(installed.dir()), installed.path(), slashed, doubled}) {
    SCOPED_TRACE(testing::PrintToString(location));
    test::WriteString(kUninstallKey, L"InstallLocation", location);
    const size_t browser = Start(KELO_DEMO_BROWSER, installed.dir() + L"kelobrowser.exe");
    const size_t web = Start(KELO_DEMO_BROWSER, installed.dir() + L"KeloWeb.exe");
    const size_t update = Start(KELO_DEMO_BROWSER, installed.dir() + L"KELOUPDATE.EXE");
    const size_t starting = StartSuspended(KELO_DEMO_BROWSER, installed.dir() + L"KeloWeb.exe");
    const size_t elsewhere = Start(KELO_DEMO_BROWSER, other.dir() + L"KeloBrowser.exe");
    const size_t uninstaller = Start(KELO_DEMO_UNINSTALL, installed.dir() + L"KeloUninstall.exe");
    const size_t unwatched = Start(KELO_DEMO_BROWSER, installed.dir() + L"KeloHelper.exe");

    CSetupLogic logic;
    ASSERT_EQ(logic.StepStopRunning(), 1) << GetLastError();
    EXPECT_TRUE(Ended(browser));
    EXPECT_TRUE(Ended(web));
    EXPECT_TRUE(Ended(update));
    EXPECT_TRUE(Ended(starting)) << "one only just started was passed over";
    EXPECT_FALSE(Ended(elsewhere));
    EXPECT_FALSE(Ended(uninstaller));
    EXPECT_FALSE(Ended(unwatched));
    EndAll();
  }
}

TEST_F(StopRunningTest, WithoutAUsableEntryNothingIsEnded) {
  ScratchDir installed(L"kelo installed");
  const size_t browser = Start(KELO_DEMO_BROWSER, installed.dir() + kBrowserExe);
  CSetupLogic logic;
  // No entry at all.
  EXPECT_EQ(logic.StepStopRunning(), 0);
  // A location that is not a string.
  const DWORD number = 5;
  test::WriteRaw(kUninstallKey, L"InstallLocation", REG_DWORD, &number, sizeof(number));
  EXPECT_EQ(logic.StepStopRunning(), 0);
  // Locations that name no folder of an installation, read while the current folder holds
  // the running browser: they must not be taken as relative to it.
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(installed.path().c_str()));
  for (const std::wstring& location : {std::wstring(), std::wstring(L"."), std::wstring(L"sub\\.."),
                                       L"C:\\" + std::wstring(250, L'a')}) {
    SCOPED_TRACE(testing::PrintToString(location));
    test::WriteString(kUninstallKey, L"InstallLocation", location);
    EXPECT_EQ(logic.StepStopRunning(), 1);
    EXPECT_FALSE(Ended(browser));
  }
  SetCurrentDirectoryW(previous);
}

}  // namespace
}  // namespace kelo
