// Shortcuts and pins, read back from the shortcut files through the shell-link object and
// from what a stand-in pin handler was asked to do.
#include "sysreg/shortcuts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::FileExists;
using test::ReadShortcut;
using test::ScratchDir;
using test::Shortcut;

TEST(OsVersionCode, ClassifiesEveryListedSystem) {
  struct Case {
    DWORD platform, major, minor;
    BYTE type;
    int code;
  } cases[] = {
      {0, 3, 1, 1, 1},  {1, 4, 10, 1, 2},  {3, 6, 1, 1, 0},  {2, 3, 51, 1, 3}, {2, 4, 0, 1, 3},
      {2, 5, 0, 1, 4},  {2, 5, 1, 1, 5},   {2, 5, 2, 3, 6},  {2, 5, 3, 1, 0},  {2, 6, 0, 1, 7},
      {2, 6, 0, 3, 8},  {2, 6, 0, 2, 8},   {2, 6, 1, 3, 8},  {2, 6, 1, 1, 9},  {2, 6, 2, 3, 10},
      {2, 6, 2, 1, 11}, {2, 6, 3, 1, 0},   {2, 10, 0, 1, 0}, {2, 7, 0, 1, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyOsVersion(c.platform, c.major, c.minor, c.type), c.code)
        << "platform " << c.platform << " " << c.major << "." << c.minor << " type " << int(c.type);
}

class ShortcutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    programs_ = test::ShellFolder(CSIDL_PROGRAMS);
    product_ = programs_ + L"\\Kelo软件中心\\Kelo游戏浏览器\\";
    quick_launch_ = test::ShellFolder(CSIDL_APPDATA) + L"\\Microsoft\\Internet Explorer\\Quick Launch\\";
    ASSERT_FALSE(programs_.empty());
    test::RedirectDesktop(desktop_.path());
  }
  void TearDown() override {
    test::RemoveTree(programs_ + L"\\Kelo软件中心");
    DeleteFileW((programs_ + L"\\Kelo游戏浏览器.lnk").c_str());
    test::RemoveTree(quick_launch_);
  }

  test::ComScope com_;
  ScratchDir desktop_{L"desk"};
  std::wstring programs_, product_, quick_launch_;
};

void ExpectShortcut(const std::wstring& file, const std::wstring& target, const std::wstring& description) {
  const Shortcut link = ReadShortcut(file);
  ASSERT_TRUE(link.loaded) << "no shortcut " << testing::PrintToString(file);
  EXPECT_EQ(link.target, target) << testing::PrintToString(file);
  EXPECT_EQ(link.description, description) << testing::PrintToString(file);
  EXPECT_EQ(link.arguments, L"") << testing::PrintToString(file);
}

TEST_F(ShortcutTest, CreateShellLinkWritesTargetAndOnlyAGivenDescription) {
  ScratchDir dir;
  const std::wstring target = dir.dir() + L"KeloBrowser.exe";
  const std::wstring file = dir.dir() + L"a.lnk";
  struct Case {
    const wchar_t* description;
    const wchar_t* expected;
  } cases[] = {{L"Kelo游戏浏览器", L"Kelo游戏浏览器"}, {L"", L""}, {nullptr, L""}};
  for (const Case& c : cases) {
    DeleteFileW(file.c_str());
    ASSERT_TRUE(CreateShellLink(c.description, target.c_str(), file.c_str())) << GetLastError();
    ExpectShortcut(file, target, c.expected);
  }
  // An existing shortcut of the same name is replaced.
  const std::wstring other = dir.dir() + L"other\\KeloBrowser.exe";
  ASSERT_TRUE(CreateShellLink(L"x", other.c_str(), file.c_str()));
  ExpectShortcut(file, other, L"x");

  // A target as a directory may be typed ("C:/Games/./") leads to the file by its full form,
  // in the item list the shell starts the link by too.
  test::WriteFileBytes(target, "MZ");
  std::wstring typed = dir.dir() + L"./KeloBrowser.exe";
  std::replace(typed.begin(), typed.end(), L'\\', L'/');
  ASSERT_TRUE(CreateShellLink(nullptr, typed.c_str(), file.c_str()));
  EXPECT_EQ(ReadShortcut(file).item_path, target);
}

TEST_F(ShortcutTest, CreateShellLinkReportsWhyItFailed) {
  ScratchDir dir;
  const std::wstring target = dir.dir() + L"KeloBrowser.exe";
  SetLastError(0);
  EXPECT_FALSE(CreateShellLink(L"d", nullptr, (dir.dir() + L"a.lnk").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0);
  EXPECT_FALSE(CreateShellLink(L"d", target.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A folder that does not exist: the save's own failure code is the last error.
  SetLastError(0);
  EXPECT_FALSE(CreateShellLink(L"d", target.c_str(), (dir.dir() + L"missing\\a.lnk").c_str()));
  EXPECT_TRUE(FAILED(static_cast<HRESULT>(GetLastError()))) << std::hex << GetLastError();
  EXPECT_FALSE(FileExists(dir.dir() + L"missing\\a.lnk"));
}

TEST_F(ShortcutTest, StartMenuGetsBrowserShortcutsAndAnUninstallShortcutWithoutDescription) {
  for (const wchar_t* dir : {L"D:\\Games\\KeloBrowser\\", L"C:\\Program Files\\Kelo Browser\\"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(dir)));
    CSetupLogic logic;
    logic.SetInstallDir(dir);
    ASSERT_EQ(logic.StepShortcuts(), 1) << GetLastError();
    const std::wstring browser = std::wstring(dir) + L"KeloBrowser.exe";
    ExpectShortcut(programs_ + L"\\Kelo游戏浏览器.lnk", browser, L"Kelo游戏浏览器");
    ExpectShortcut(product_ + L"Kelo游戏浏览器.lnk", browser, L"Kelo游戏浏览器");
    ExpectShortcut(product_ + L"卸载Kelo游戏浏览器.lnk", std::wstring(dir) + L"KeloUninstall.exe", L"");
  }
  // The second installation replaced the first's files and kept the folder: nothing else.
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((product_ + L"*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Kelo游戏浏览器.lnk", L"卸载Kelo游戏浏览器.lnk"}));
}

TEST_F(ShortcutTest, StartMenuStepFailsAfterTheFirstShortcutWhenTheProductFolderCannotBeMade) {
  // A file where the vendor folder belongs.
  const std::wstring blocker = programs_ + L"\\Kelo软件中心";
  HANDLE file = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Kelo\\");
  SetLastError(0);
  EXPECT_EQ(logic.StepShortcuts(), 0);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_TRUE(ReadShortcut(programs_ + L"\\Kelo游戏浏览器.lnk").loaded);
  DeleteFileW(blocker.c_str());
}

TEST_F(ShortcutTest, DesktopGetsTheAssistantShortcut) {
  CSetupLogic logic;
  logic.SetInstallDir(L"D:\\Games\\KeloBrowser");
  ASSERT_EQ(logic.StepAssistShortcut(), 1) << GetLastError();
  ExpectShortcut(desktop_.dir() + L"Kelo游戏辅助.lnk", L"D:\\Games\\KeloBrowser\\KeloBrowser.exe", L"Kelo游戏浏览器");
}

TEST_F(ShortcutTest, DesktopStepFailsWhenTheDesktopCannotBeLookedUp) {
  const std::wstring gone = desktop_.dir() + L"gone";
  test::SetShellFolderValue(L"Desktop", gone);
  if (!test::ShellFolder(CSIDL_DESKTOPDIRECTORY).empty())
    GTEST_SKIP() << "this system looks up a desktop folder that does not exist";
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Kelo\\");
  EXPECT_EQ(logic.StepAssistShortcut(), 0);
  EXPECT_FALSE(FileExists(gone));
}

TEST_F(ShortcutTest, QuickLaunchFolderIsMadeAndGetsTheShortcut) {
  test::RemoveTree(quick_launch_);
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Program Files\\Kelo Browser\\");
  ASSERT_EQ(logic.StepTaskbarPin(), 1) << GetLastError();
  ExpectShortcut(quick_launch_ + L"Kelo游戏浏览器.lnk", L"C:\\Program Files\\Kelo Browser\\KeloBrowser.exe",
                 L"Kelo游戏浏览器");
}

// With pin verbs registered for shortcut files, each invocation leaves a record.
class PinTest : public ShortcutTest {
 protected:
  void SetUp() override {
    ShortcutTest::SetUp();
    if (HasFatalFailure()) return;
    for (const wchar_t* verb : kVerbs) {
      const std::wstring command = L"\"" + test::HostPath(KELO_VERB_RECORDER_EXE) + L"\" \"" + records_.path() +
                                   L"\" " + verb + L" \"%1\"";
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"lnkfile\\shell\\") + verb + L"\\command").c_str(),
                                0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                0);
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(key);
    }
  }
  void TearDown() override {
    for (const wchar_t* verb : kVerbs) RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"lnkfile\\shell\\") + verb).c_str());
    ShortcutTest::TearDown();
  }
  static constexpr const wchar_t* kVerbs[] = {L"startpin", L"taskbarpin", L"startunpin", L"taskbarunpin"};

  // The pins asked for since the last call, as "verb|shortcut". The shell has started
  // every handler by the time the step returns, so waiting for them to end suffices.
  std::vector<std::wstring> Pins() {
    EXPECT_TRUE(test::WaitForProcessesToEnd(L"verb_recorder.exe"));
    std::vector<std::wstring> pins;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((records_.dir() + L"*.txt").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return pins;
    do {
      const std::wstring path = records_.dir() + found.cFileName;
      HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      wchar_t text[1024] = {};
      DWORD read = 0;
      ReadFile(file, text, sizeof(text) - sizeof(wchar_t), &read, nullptr);
      CloseHandle(file);
      DeleteFileW(path.c_str());
      pins.push_back(text);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(pins.begin(), pins.end());
    return pins;
  }

  ScratchDir records_{L"pins"};
};

TEST_F(PinTest, PinsOnlyFromVistaOnAndOnlyTheProductFolderShortcut) {
  struct Case {
    int os_code;
    bool pinned;
  } cases[] = {{0, false}, {5, false}, {6, false}, {7, true}, {8, true}, {9, true}, {10, true}, {11, true}};
  const std::wstring dir = L"D:\\Games\\KeloBrowser\\";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os_code);
    ASSERT_TRUE(MakeProgramShortcuts(dir, c.os_code));
    ASSERT_TRUE(MakeQuickLaunchShortcut(dir, c.os_code));
    // Every shortcut is made whatever the system.
    EXPECT_TRUE(ReadShortcut(programs_ + L"\\Kelo游戏浏览器.lnk").loaded);
    EXPECT_TRUE(ReadShortcut(product_ + L"卸载Kelo游戏浏览器.lnk").loaded);
    EXPECT_TRUE(ReadShortcut(quick_launch_ + L"Kelo游戏浏览器.lnk").loaded);
    std::vector<std::wstring> expected;
    if (c.pinned)
      expected = {L"startpin|" + product_ + L"Kelo游戏浏览器.lnk", L"taskbarpin|" + quick_launch_ + L"Kelo游戏浏览器.lnk"};
    EXPECT_EQ(Pins(), expected);
  }
}

// The system the tests run on (Wine, as a Windows that pins) is taken for one: a reading of
// its version gone wrong would otherwise switch the pins off everywhere unseen.
TEST_F(PinTest, StepsPinAsTheRunningSystemAllows) {
  ASSERT_GE(GetOsVersionCode(), kFirstPinningOsCode) << "the running system is taken for one without pins";
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Kelo\\");
  ASSERT_EQ(logic.StepShortcuts(), 1);
  ASSERT_EQ(logic.StepTaskbarPin(), 1);
  ASSERT_EQ(logic.StepAssistShortcut(), 1);
  const std::vector<std::wstring> expected = {L"startpin|" + product_ + L"Kelo游戏浏览器.lnk",
                                              L"taskbarpin|" + quick_launch_ + L"Kelo游戏浏览器.lnk"};
  EXPECT_EQ(Pins(), expected);
}

// The uninstall takes the shortcuts that start this installation's programs, whatever the
// letter case of the folder or whether it ends in a separator (a location stored by hand),
// and their pins where the system pins; those of the same names that start another
// installation (or the user's own program) stay, pinned.
TEST_F(PinTest, RemovingTakesOnlyThisInstallationsShortcutsAndTheirPins) {
  const std::wstring ours = L"D:\\Games\\KeloBrowser\\";
  const struct {
    const wchar_t* removed_for;
    int os_code;
    bool removed, unpinned;
  } cases[] = {{L"D:\\Games\\KeloBrowser\\", 7, true, true},
               {L"d:\\GAMES\\kelobrowser\\", 11, true, true},
               {L"D:\\Games\\KeloBrowser", 11, true, true},
               {L"D:\\Games\\KeloBrowser\\", 5, true, false},
               {L"D:\\Other\\KeloBrowser\\", 7, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.removed_for)) + " on " + std::to_string(c.os_code));
    ASSERT_TRUE(MakeProgramShortcuts(ours, c.os_code));
    ASSERT_TRUE(MakeQuickLaunchShortcut(ours, c.os_code));
    ASSERT_TRUE(MakeDesktopShortcut(ours));
    Pins();
    EXPECT_TRUE(RemoveShortcuts(c.removed_for, c.os_code));
    for (const std::wstring& link : {programs_ + L"\\" + kShortcutName, product_ + kShortcutName,
                                     product_ + kUninstallShortcutName, quick_launch_ + kShortcutName,
                                     desktop_.dir() + kAssistShortcutName})
      EXPECT_EQ(ReadShortcut(link).loaded, !c.removed) << testing::PrintToString(link);
    EXPECT_EQ(test::FileExists(product_), !c.removed) << "the start menu's product folder";
    std::vector<std::wstring> expected;
    if (c.unpinned)
      expected = {L"startunpin|" + product_ + kShortcutName, L"taskbarunpin|" + quick_launch_ + kShortcutName};
    EXPECT_EQ(Pins(), expected);
    TearDown();
    SetUp();
  }
}

// A desktop that is not there holds no shortcut; one out of reach (on a share that is
// offline) may hold ours: the removal takes the others and does not end as a success.
TEST_F(ShortcutTest, RemovingDoesNotTakeShortcutsOutOfReachForGone) {
  const std::wstring ours = L"D:\\Games\\KeloBrowser\\";
  const struct {
    std::wstring desktop;
    bool removed;
  } cases[] = {{desktop_.dir() + L"gone", true}, {L"\\\\offline-host\\share\\Desktop", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.desktop));
    ASSERT_TRUE(MakeProgramShortcuts(ours, 11));
    test::SetShellFolderValue(L"Desktop", c.desktop);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(RemoveShortcuts(ours, 11), c.removed);
    EXPECT_EQ(GetLastError() == ERROR_SUCCESS, c.removed) << GetLastError();
    EXPECT_FALSE(ReadShortcut(product_ + kShortcutName).loaded) << "a shortcut within reach stayed";
  }
}

TEST_F(ShortcutTest, StepsSucceedWhenTheSystemOffersNoPinVerbAndKeepTheApartment) {
  ASSERT_TRUE(MakeProgramShortcuts(L"C:\\Kelo\\", 11));
  ASSERT_TRUE(MakeQuickLaunchShortcut(L"C:\\Kelo\\", 11));
  // The next step still writes shortcuts on this thread.
  APTTYPE apartment = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier;
  ASSERT_EQ(CoGetApartmentType(&apartment, &qualifier), S_OK);
  EXPECT_EQ(apartment, APTTYPE_MTA);
  ASSERT_TRUE(MakeDesktopShortcut(L"C:\\Kelo\\"));
}

}  // namespace
}  // namespace kelo
