// The setup program run unattended, as an administrator or a download manager runs it: /S
// installs with the default options and no window, /D= picks the directory by the field's
// rules, /LOG= moves the install log, and the exit code tells the outcome.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <string>

#include "app/command_line.h"
#include "base/product.h"
#include "base/utf8.h"
#include "base/win_holders.h"
#include "installer_driver.h"
#include "process_window.h"
#include "sysreg_scratch.h"

namespace kelo::test {
namespace {

std::string ReadLog(const std::wstring& path) { return ReadFileBytes(path, "<no log>"); }

// The switches as scripts and tools write them: quoting tools put the whole /D= argument,
// or its path, in quotation marks, and the path keeps its spaces either way.
TEST(CommandLineSwitches, AreReadAsScriptsAndToolsWriteThem) {
  const struct {
    const wchar_t* line;
    bool silent, dir_given;
    const wchar_t* dir;
    const wchar_t* log;
    const wchar_t* unknown;
  } cases[] = {
      {L"\"C:\\x y\\KeloSetup.exe\"", false, false, L"", L"", L""},
      {L"KeloSetup.exe /s", true, false, L"", L"", L""},
      {L"KeloSetup.exe /S /D=D:\\My Games\\Kelo  ", true, true, L"D:\\My Games\\Kelo", L"", L""},
      {L"KeloSetup.exe /S \"/D=D:\\My Games\\Kelo\"", true, true, L"D:\\My Games\\Kelo", L"", L""},
      {L"KeloSetup.exe /S /D=\"D:\\My Games\\Kelo\" ", true, true, L"D:\\My Games\\Kelo", L"", L""},
      {L"KeloSetup.exe /D=", false, true, L"", L"", L""},
      {L"KeloSetup.exe \"/LOG=C:\\my logs\\k.txt\" /d=D:\\K /S", false, true, L"D:\\K /S", L"C:\\my logs\\k.txt", L""},
      {L"KeloSetup.exe /SILENT /X", false, false, L"", L"", L"/SILENT"},
      {L"KeloSetup.exe -S", false, false, L"", L"", L"-S"},
      {L"\"C:\\x y\\KeloSetup.exe\"/S", true, false, L"", L"", L""},
      // Started by a plain string: the path unquoted, spaces and all, in any letter case,
      // whole or relative to a folder of it (not to part of a folder's name), with either slash.
      {L"C:\\Users\\John Smith\\Downloads\\KeloSetup (1).exe", false, false, L"", L"", L""},
      {L"c:\\users\\john smith\\downloads\\kelosetup (1).exe /S", true, false, L"", L"", L""},
      {L"KeloSetup (1).exe\t/S /x", true, false, L"", L"", L"/x"},
      {L"Downloads\\KeloSetup (1).exe /S", true, false, L"", L"", L""},
      {L"Downloads/KeloSetup (1).exe /S", true, false, L"", L"", L""},
      {L"C:/Users/John Smith/Downloads/KeloSetup (1).exe /S", true, false, L"", L"", L""},
      {L"John Smith\\Downloads\\KeloSetup (1).exe", false, false, L"", L"", L""},
      {L"Smith\\Downloads\\KeloSetup (1).exe /S", true, false, L"", L"", L"(1).exe"},
      {L"C:\\Users\\John Smith\\Downloads\\KeloSetup (1).exeX /S", true, false, L"", L"", L"Smith\\Downloads\\KeloSetup"},
      // Without the ".exe", which the system adds to find the program.
      {L"C:\\Users\\John Smith\\Downloads\\KeloSetup (1) /S /D=D:\\K", true, true, L"D:\\K", L"", L""},
      {L"downloads\\kelosetup (1)\t/S", true, false, L"", L"", L""},
      {L"KeloSetup (1).ex /S", true, false, L"", L"", L"(1).ex"},
  };
  for (const auto& c : cases) {
    const std::wstring own = L"C:\\Users\\John Smith\\Downloads\\KeloSetup (1).exe";
    const CommandLine parsed = ParseCommandLine(c.line, own);
    EXPECT_EQ(parsed.silent, c.silent) << testing::PrintToString(c.line);
    EXPECT_EQ(parsed.dir_given, c.dir_given) << testing::PrintToString(c.line);
    EXPECT_EQ(parsed.dir, c.dir) << testing::PrintToString(c.line);
    EXPECT_EQ(parsed.log_path, c.log) << testing::PrintToString(c.line);
    EXPECT_EQ(parsed.unknown, c.unknown) << testing::PrintToString(c.line);
  }
  // The uninstaller reads what follows the name the same way (Wine quotes a path with
  // spaces itself when it starts a program by a plain string; Windows does not).
  EXPECT_STREQ(ArgumentsAfterProgram(L"C:\\Users\\John Smith\\KeloUninstall.exe /S", L"c:\\users\\john smith\\keloUninstall.exe"),
               L" /S");
  EXPECT_STREQ(ArgumentsAfterProgram(L"\"C:\\a b\\KeloUninstall.exe\" /S", L"C:\\a b\\KeloUninstall.exe"), L" /S");
  EXPECT_STREQ(ArgumentsAfterProgram(L"\"C:\\a b\\KeloUninstall.exe\"/S", L"C:\\a b\\KeloUninstall.exe"), L"/S");
}

class SilentInstall : public ::testing::Test {
 protected:
  // No installation recorded, whatever ran before: /S without /D= then proposes the
  // product's default folder, which holds nothing, and no log is there yet.
  void SetUp() override {
    ForgetInstallation(DefaultDir().substr(0, DefaultDir().size() - 1));
    DeleteFileW((TempRoot() + L"KeloSetup.log").c_str());
  }
  void TearDown() override { EndProcessesNamed(kBrowserExe); }

  // Runs the setup program with `arguments` and returns its exit code; no window of its
  // may show while it runs.
  DWORD Run(const std::wstring& arguments) { return RunAs(SetupExe(), L"\"" + SetupExe() + L"\" " + arguments); }

  // The same with the whole command line as given, the program's path in it quoted or not.
  DWORD RunAs(const std::wstring& program, const std::wstring& command_line) {
    PROCESS_INFORMATION started = {};
    EXPECT_TRUE(CreateProcessPatiently(program, command_line, 0, &started));
    CloseHandle(started.hThread);
    HANDLE process = started.hProcess;
    const DWORD id = GetProcessId(process);
    bool window_shown = false;
    const bool ended = PollFor(
        [&] {
          window_shown = window_shown || VisibleWindowOf(id) != nullptr;
          return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        },
        60000);
    EXPECT_TRUE(ended) << "the installer did not end";
    // Left running, it would hold the single-instance lock against every later test.
    if (!ended) TerminateProcess(process, 99);
    EXPECT_FALSE(window_shown) << "a window showed";
    DWORD code = 99;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
  }

  std::wstring DefaultDir() { return ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Kelo\\KeloBrowser\\"; }
};

TEST_F(SilentInstall, InstallsIntoTheProposedOrTheGivenDirectoryAndLogs) {
  // With every option of the quick install: both shortcut boxes are checked there.
  const std::wstring links[] = {ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\" + kAssistShortcutName,
                                ShellFolder(CSIDL_APPDATA) + kQuickLaunchFolder + kShortcutName};
  for (const std::wstring& link : links) DeleteFileW(link.c_str());
  // The window's memory of a failed install, which has its next failure offer the feedback link.
  SetFailureMemory(1);
  ASSERT_EQ(FailureMemory(), 1);
  ASSERT_EQ(Run(L"/S"), 0u);
  EXPECT_EQ(FailureMemory(), -1) << "a success leaves the failures remembered";
  EXPECT_TRUE(FileExists(DefaultDir() + kBrowserExe));
  for (const std::wstring& link : links) EXPECT_TRUE(FileExists(link)) << "no shortcut " << testing::PrintToString(link);
  const std::string log = ReadLog(TempRoot() + L"KeloSetup.log");
  EXPECT_EQ(log.compare(0, 3, "\xEF\xBB\xBF"), 0) << "no byte-order mark";
  for (const char* line : {"installing into", "step 0 (extract payload): done", "step 7 (first launch): done",
                           "outcome: installed"})
    EXPECT_NE(log.find(line), std::string::npos) << "the log lacks \"" << line << "\":\n" << log;
  // The installer's version, the options, and each step's result with its time.
  for (const char* line : {R"(KeloSetup \d+(\.\d+)+, installing into )",
                           R"(options: default browser yes, desktop shortcut yes, taskbar yes, )",
                           R"(step 1 \(uninstall entry\): done, \d+ ms)"})
    EXPECT_TRUE(std::regex_search(log, std::regex(line))) << "the log lacks \"" << line << "\":\n" << log;
  const std::regex step(R"(step \d+ \([^)]+\): done, \d+ ms)");
  const auto timed = std::distance(std::sregex_iterator(log.begin(), log.end(), step), std::sregex_iterator());
  size_t steps = 0;
  for (size_t at = log.find("step "); at != std::string::npos; at = log.find("step ", at + 1)) ++steps;
  EXPECT_EQ(static_cast<size_t>(timed), steps) << "a step without its result and time:\n" << log;
  // Again into the same folder, spelled otherwise: no earlier installation stays elsewhere.
  std::wstring same = DefaultDir().substr(0, DefaultDir().size() - 1);
  CharUpperBuffW(&same[0], static_cast<DWORD>(same.size()));
  ASSERT_EQ(Run(L"/S /D=" + same), 0u);
  const std::string again = ReadLog(TempRoot() + L"KeloSetup.log");
  EXPECT_NE(again.find("outcome: installed"), std::string::npos) << again;
  EXPECT_EQ(again.find("the earlier installation"), std::string::npos) << again;

  // Unquoted and last, spaces and all, as the common installer systems take it; Chinese
  // names, as the users' own folders have them, whatever the code page.
  const std::wstring scratch = ScratchDir(L"silent");
  const std::wstring dir = scratch + L"我的 游戏\\Kelo Browser";
  const std::wstring log_path = scratch + L"安装 日志.txt";
  ASSERT_EQ(Run(L"\"/LOG=" + log_path + L"\" /S /D=" + dir), 0u);
  EXPECT_TRUE(FileExists(dir + L"\\" + kBrowserExe));
  const std::string given_log = ReadLog(log_path);
  EXPECT_NE(given_log.find("outcome: installed"), std::string::npos) << given_log;
  // The first one stays, whole: the log says where, as the entry recorded it.
  EXPECT_NE(given_log.find("the earlier installation in " + Utf8(same.data(), same.size())), std::string::npos)
      << given_log;
  EXPECT_NE(given_log.find("我的 游戏\\Kelo Browser"), std::string::npos) << "the directory is not in the log as UTF-8";
  // Its uninstaller, and the copy that finishes its work, take it all away again.
  HANDLE uninstaller = StartProgram(dir + L"\\" + kUninstallExe, L"/S");
  ASSERT_NE(uninstaller, nullptr);
  EXPECT_EQ(WaitForSingleObject(uninstaller, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  GetExitCodeProcess(uninstaller, &code);
  CloseHandle(uninstaller);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(PollFor([&] { return !FileExists(dir); }, 30000)) << "the install directory stays";
}

// Started by a plain string, as some launchers start a download: the program's path comes
// unquoted, spaces and all, before the switches, and its name still gives the channel.
TEST_F(SilentInstall, ReadsItsSwitchesWhenStartedByAPlainString) {
  const std::wstring scratch = ScratchDir(L"plain start");
  const std::wstring program = scratch + L"KeloSetup_42 (1).exe";
  ASSERT_TRUE(CopyFileW(SetupExe().c_str(), program.c_str(), FALSE));
  const std::wstring dir = scratch + L"Kelo Browser";
  EXPECT_EQ(RunAs(program, program + L" /S /D=" + dir), 0u);
  EXPECT_TRUE(FileExists(dir + L"\\" + kBrowserExe));
  EXPECT_EQ(IniValue(dir + L"\\" + kStatIni, kStatSection, kChannelIdKey), L"42 (1)");
  ForgetInstallation(dir);
}

// A switch it does not know, without /S, is answered with the usage; nothing else runs.
TEST_F(SilentInstall, AnUnknownSwitchIsAnsweredWithTheUsage) {
  HANDLE process = StartProgram(SetupExe(), L"/X");
  ASSERT_NE(process, nullptr);
  const DWORD id = GetProcessId(process);
  // A message box, with its words; not the installer's own window, whose class and title
  // are the same, and where the box's OK would install.
  HWND box = WaitForWindow(L"#32770", [&](const std::wstring& title, HWND window) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner == id && title == kWindowTitle && GetDlgItem(window, 0xFFFF) != nullptr;
  });
  wchar_t text[512] = {};
  if (box) GetDlgItemTextW(box, 0xFFFF, text, 512);
  EXPECT_NE(std::wstring(text).find(L"/LOG="), std::wstring::npos) << "no usage shown";
  if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  else TerminateProcess(process, 99);
  DWORD code = 99;
  if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) TerminateProcess(process, 99);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  EXPECT_EQ(code, static_cast<DWORD>(kExitUsage));
}

// A C++ failure nothing catches ends an unattended run at once with the code scripts read
// as failed. The C runtime's own end (its code 3, which the uninstaller's callers read as
// "the user said no") may first show a box on Windows and wait for a click nobody gives;
// a run with its window still ends so (the control: the probe does reach that end).
TEST_F(SilentInstall, AFailureNothingCatchesEndsAnUnattendedRunAsFailed) {
  for (const bool unattended : {true, false}) {
    SCOPED_TRACE(unattended ? "unattended" : "with its window");
    HANDLE process = StartProgram(HostPath(KELO_CRASH_PROBE_EXE), unattended ? L"unattended" : L"");
    ASSERT_NE(process, nullptr);
    const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
    DWORD code = 99;
    GetExitCodeProcess(process, &code);
    if (!ended) TerminateProcess(process, 99);
    CloseHandle(process);
    EXPECT_TRUE(ended) << "still waiting";
    EXPECT_EQ(code, unattended ? static_cast<DWORD>(kExitInstallFailed) : 3u);
  }
}

// A log named where it cannot be written, or inside the install directory (where, held
// open, it would be a file of nobody's for the install to clear), still exists: in the
// default place, saying why.
TEST_F(SilentInstall, ALogThatCannotGoWhereNamedGoesToTheDefaultPlace) {
  const std::wstring scratch = ScratchDir(L"silent-log");
  const std::wstring dir = scratch + L"KeloBrowser";
  const struct {
    std::wstring log;
    const char* why;
  } cases[] = {
      {scratch + L"no such folder\\setup.log", "could not be written to"},
      {dir + L"\\Logs\\..\\SETUP.log", "not written into the install directory"},
      {L"\\\\?\\" + dir + L"\\setup.log", "not written into the install directory"},
  };
  const std::wstring fallback = TempRoot() + L"KeloSetup.log";
  for (const auto& c : cases) {
    DeleteFileW(fallback.c_str());
    ASSERT_EQ(Run(L"\"/LOG=" + c.log + L"\" /S /D=" + dir), 0u);
    const std::string log = ReadLog(fallback);
    EXPECT_NE(log.find(c.why), std::string::npos) << log;
    EXPECT_NE(log.find("outcome: installed"), std::string::npos) << log;
    EXPECT_FALSE(FileExists(c.log)) << testing::PrintToString(c.log);
  }
}

// Nobody sees the warning that an install ends the running browser: an unattended install
// leaves it running.
TEST_F(SilentInstall, LeavesARunningBrowserRunning) {
  const std::wstring dir = ScratchDir(L"silent-running") + L"KeloBrowser\\";
  ASSERT_EQ(Run(L"/S /D=" + dir), 0u);
  EndProcessesNamed(kBrowserExe);  // the one the install started
  HANDLE browser = StartProgram(dir + kBrowserExe);
  ASSERT_NE(browser, nullptr);
  ASSERT_TRUE(PollFor(
      [] {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kBrowserMutexName);
        if (mutex) CloseHandle(mutex);
        return mutex != nullptr;
      },
      20000));
  EXPECT_EQ(Run(L"/S /D=" + dir), 0u);
  EXPECT_EQ(WaitForSingleObject(browser, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the running browser was ended";
  CloseHandle(browser);
}

TEST_F(SilentInstall, FailuresEndWithTheirCodeAndTheLogSaysWhere) {
  const std::wstring scratch = ScratchDir(L"silent-fail");
  // A file stands where the payload needs its Lib folder.
  const std::wstring blocked = scratch + L"blocked";
  CreateDirectoryW(blocked.c_str(), nullptr);
  CloseHandle(CreateFileW((blocked + L"\\Lib").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::wstring log_path = scratch + L"fail.log";
  const struct {
    std::wstring arguments;
    DWORD code;
    const char* logged;  // null: no log expected
  } cases[] = {
      {L"/S /LOG=" + log_path + L" /D=" + blocked, kExitInstallFailed,
       "step 0: a folder stands where a payload file goes, or a file where a folder goes: Lib\r\n"},
      {L"/S /LOG=" + log_path + L" /D=" + blocked, kExitInstallFailed, "step 0 (extract payload): failed, error 183"},
      {L"/S /LOG=" + log_path + L" /D=C:\\no|pipes", kExitBadDirectory,
       "directory refused: \"C:\\no|pipes\": 请选择一个正确的目录路径 (no folder path on a drive letter"},
      // Longer than the field reads back whole.
      {L"/S /LOG=" + log_path + L" /D=C:\\" + std::wstring(257, L'd'), kExitBadDirectory, "directory refused"},
      // A script's unset variable: no silent install somewhere else than asked.
      {L"/S /LOG=" + log_path + L" /D=  ", kExitBadDirectory, "directory refused"},
      // Windows drops a folder name's last spaces and dots when it makes the folder, but
      // only one final dot from the paths that lead through it: nothing could be installed
      // there.
      {L"/S /LOG=" + log_path + L" /D=" + scratch + L"Games \\Kelo", kExitBadDirectory, "(a folder name ends in a space"},
      {L"/S /LOG=" + log_path + L" /D=" + scratch + L"Games .\\Kelo", kExitBadDirectory, "directory refused"},
      {L"/S /LOG=" + log_path + L" /D=" + scratch + L"Games..\\Kelo", kExitBadDirectory, "directory refused"},
      {L"/S /LOG=" + log_path + L" /X", kExitUsage, "unknown switch: /X"},
  };
  SetFailureMemory(1);
  ASSERT_EQ(FailureMemory(), 1);
  for (const auto& c : cases) {
    DeleteFileW(log_path.c_str());
    EXPECT_EQ(Run(c.arguments), c.code) << testing::PrintToString(c.arguments);
    EXPECT_EQ(FailureMemory(), 1) << testing::PrintToString(c.arguments);
    if (c.logged) {
      const std::string log = ReadLog(log_path);
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
      const size_t version = log.find("KeloSetup ");
      EXPECT_TRUE(version != std::string::npos && isdigit(static_cast<unsigned char>(log[version + 10])))
          << "the log does not say which installer wrote it: " << log;
    }
  }
  EXPECT_FALSE(FileExists(blocked + L"\\" + kBrowserExe));
  // A shell call's failure is logged as the HRESULT it is, in hexadecimal, not as a Win32
  // error no table lists: a folder where the start menu's shortcut goes fails the shortcuts.
  const std::wstring menu_link = ShellFolder(CSIDL_PROGRAMS) + L"\\Kelo游戏浏览器.lnk";
  DeleteFileW(menu_link.c_str());
  ASSERT_TRUE(CreateDirectoryW(menu_link.c_str(), nullptr)) << GetLastError();
  DeleteFileW(log_path.c_str());
  EXPECT_EQ(Run(L"/S /LOG=" + log_path + L" /D=" + scratch + L"menu-blocked"), static_cast<DWORD>(kExitInstallFailed));
  RemoveDirectoryW(menu_link.c_str());
  const std::string log = ReadLog(log_path);
  EXPECT_NE(log.find("step 4 (start-menu shortcuts; start pin asked for, unconfirmed): failed, error 0x8"),
            std::string::npos)
      << log;
  // Refused before it takes the setup programs' lock, a run that names no log, or one that
  // cannot be written, leaves the default one, which another copy's failure view may show,
  // as it is.
  const std::wstring default_log = TempRoot() + L"KeloSetup.log";
  WriteFileBytes(default_log, "another run's log");
  for (const std::wstring& arguments : {L"/S /LOG=" + scratch + L"nosuchfolder\\k.log /X", std::wstring(L"/S /X")}) {
    EXPECT_EQ(Run(arguments), static_cast<DWORD>(kExitUsage)) << testing::PrintToString(arguments);
    EXPECT_EQ(ReadLog(default_log), "another run's log") << testing::PrintToString(arguments);
  }
  DeleteFileW(default_log.c_str());
}

// The directory may be as long as the payload's deepest staged path allows, and no longer:
// one character more is refused before anything is written, not failed part-way.
TEST_F(SilentInstall, TheDirectoryMayBeAsLongAsThePayloadsDeepestPathAllows) {
  // The payload's longest name and folder, as the setup program carries them.
  HMODULE setup = LoadLibraryExW(SetupExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(setup, nullptr);
  const HRSRC found = FindResourceW(setup, MAKEINTRESOURCEW(kPacketReachResourceId), kPacketResourceType);
  ASSERT_NE(found, nullptr);
  ASSERT_EQ(SizeofResource(setup, found), 4u);
  const auto* reach = static_cast<const uint8_t*>(LockResource(LoadResource(setup, found)));
  const size_t name = reach[0] | reach[1] << 8, folder = reach[2] | reach[3] << 8;
  FreeLibrary(setup);
  // Staged in "<dir>\KeloSetup.new\", or set aside in the longer "<dir>\KeloSetup.kept\"
  // with up to ".99" appended: paths of up to 259 characters, folders of up to 247.
  const size_t staging = wcslen(L"\\KeloSetup.kept\\") + wcslen(L".99");
  const size_t longest = std::min(259 - staging - name, 247 - staging - folder);
  const std::wstring scratch = ScratchDir(L"silent-long");
  const auto dir_of = [&](size_t chars) {
    std::wstring dir = scratch;
    while (dir.size() < chars) dir += (dir.size() - scratch.size()) % 100 == 99 ? L'\\' : L'k';
    if (dir.back() == L'\\') dir.back() = L'k';
    return dir;
  };
  const std::wstring log_path = scratch + L"long.log";
  EXPECT_EQ(Run(L"/S /LOG=" + log_path + L" /D=" + dir_of(longest + 1)), kExitBadDirectory);
  EXPECT_NE(ReadLog(log_path).find("directory refused"), std::string::npos) << ReadLog(log_path);
  // Nothing but the log was written.
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((scratch + L"*").c_str(), &entry);
  ASSERT_NE(listing, INVALID_HANDLE_VALUE);
  do {
    const std::wstring name = entry.cFileName;
    EXPECT_TRUE(name == L"." || name == L".." || name == L"long.log")
        << "made for a refused directory: " << testing::PrintToString(name);
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  const std::wstring fits = dir_of(longest);
  ASSERT_EQ(Run(L"/S /LOG=" + log_path + L" /D=" + fits), 0u) << ReadLog(log_path);
  EXPECT_TRUE(FileExists(fits + L"\\" + kBrowserExe));
}

// Without a window of its own to be asked, an unattended install would be cut short by a
// logoff, leaving no uninstall entry until the next run. (The reason the system shows for a
// hidden window is not checked: Wine only pretends to keep it.)
TEST_F(SilentInstall, TheSessionWaitsForTheInstall) {
  const std::wstring dir = ScratchDir(L"silent-session") + L"KeloBrowser\\";
  Installer setup;
  setup.HoldNewThreads(true);
  ASSERT_TRUE(setup.Start(SetupExe(), /*debugged=*/true, L"/S /D=" + dir));
  ASSERT_TRUE(PollFor([&] { return setup.HeldThreads() > 0; }, 20000)) << "the install did not start";
  const HWND asked = setup.WaitForSessionWindow();
  ASSERT_NE(asked, nullptr) << "no window of the installer's is there to be asked while it installs";
  DWORD_PTR answer = 99;
  EXPECT_TRUE(SendMessageTimeoutW(asked, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &answer));
  EXPECT_EQ(answer, static_cast<DWORD_PTR>(FALSE)) << "the session may end in the middle of the install";
  SendNotifyMessageW(asked, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_EQ(SendMessageTimeoutW(asked, WM_NULL, 0, 0, SMTO_NORMAL, 2000, nullptr), 0)
      << "the installer went on before the install had ended";
  setup.ReleaseHeldThreads();
  DWORD code = 99;
  ASSERT_TRUE(setup.WaitForExit(60000, &code)) << "the installer did not end";
  EXPECT_EQ(code, static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(FileExists(dir + kBrowserExe));
}

TEST_F(SilentInstall, AnotherCopyHoldingTheLockIsWaitedForAMomentThenLeftAlone) {
  ScopedHandle held(CreateMutexW(nullptr, TRUE, kSetupMutexName));
  ASSERT_TRUE(held.IsValid());
  // Given back however the test ends: kept, it would hold every later run of the program.
  struct GiveBack {
    HANDLE mutex;
    ~GiveBack() { ReleaseMutex(mutex); }
  } give_back{held.Get()};
  const std::wstring dir = ScratchDir(L"silent-second") + L"KeloBrowser";
  // Held all along: the copy waits its 5 s, which a loaded machine only lengthens, then
  // leaves.
  // Its log says so: a script must not find an earlier run's outcome there.
  const std::wstring log_path = ScratchDir(L"silent-second-log") + L"second.log";
  WriteFileBytes(log_path, "outcome: installed");
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Run(L"/S /LOG=" + log_path + L" /D=" + dir), static_cast<DWORD>(kExitAlreadyRunning));
  EXPECT_GE(GetTickCount64() - start, 4500u) << "the lock was not waited for";
  EXPECT_FALSE(FileExists(dir));
  EXPECT_NE(ReadLog(log_path).find("another setup program runs"), std::string::npos) << ReadLog(log_path);
  EXPECT_EQ(ReadLog(log_path).find("outcome: installed"), std::string::npos) << ReadLog(log_path);
  // Started with the window meanwhile, it finds no window of the holder's to bring to the
  // front: it shows none of its own, and ends at once.
  EXPECT_EQ(Run(L""), static_cast<DWORD>(kExitSuccess));
  // A copy that lets go within moments (an uninstaller's finishing copy, woken by the end
  // of the uninstall a script ran just before) is waited for.
  HANDLE next = StartProgram(SetupExe(), L"/S /D=" + dir);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(WaitForSingleObject(next, 2000), static_cast<DWORD>(WAIT_TIMEOUT)) << "the lock was not waited for";
  ReleaseMutex(held.Get());
  EXPECT_EQ(WaitForSingleObject(next, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 99;
  GetExitCodeProcess(next, &code);
  CloseHandle(next);
  EXPECT_EQ(code, static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(FileExists(dir + L"\\" + kBrowserExe));
}

}  // namespace
}  // namespace kelo::test
