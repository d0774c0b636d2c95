// The uninstall entry as the system's program list reads it back from the registry.
#include "sysreg/uninstall_entry.h"

#include <gtest/gtest.h>

#include "base/file_paths.h"
#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::HoldsString;
using test::ReadValue;
using test::ScratchDir;

SYSTEMTIME g_now = {};
void WINAPI FixedClock(LPSYSTEMTIME time) { *time = g_now; }

void SetDate(WORD year, WORD month, WORD day) {
  g_now = {};
  g_now.wYear = year;
  g_now.wMonth = month;
  g_now.wDay = day;
  g_now.wHour = 23;
  g_now.wMinute = 59;
}

class UninstallEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey); }
};

TEST_F(UninstallEntryTest, WritesEveryValueWithTheDirectoryAsTyped) {
  struct Case {
    const wchar_t* dir;
    const wchar_t* uninstall;
    const wchar_t* icon;
  } cases[] = {
      {L"D:\\Games\\KeloBrowser\\", L"\"D:\\Games\\KeloBrowser\\KeloUninstall.exe\"",
       L"D:\\Games\\KeloBrowser\\KeloBrowser.exe"},
      {L"D:/Games/KeloBrowser/", L"\"D:/Games/KeloBrowser/KeloUninstall.exe\"", L"D:/Games/KeloBrowser/KeloBrowser.exe"},
      // Quoted, or Windows could run "C:\Program.exe" for a path with spaces.
      {L"C:\\Program Files\\Kelo Browser\\", L"\"C:\\Program Files\\Kelo Browser\\KeloUninstall.exe\"",
       L"C:\\Program Files\\Kelo Browser\\KeloBrowser.exe"},
      // The program list takes what follows a path's last comma for the icon's index.
      {L"D:\\Games,Apps\\Kelo\\", L"\"D:\\Games,Apps\\Kelo\\KeloUninstall.exe\"",
       L"D:\\Games,Apps\\Kelo\\KeloBrowser.exe,0"},
  };
  SetDate(2016, 12, 17);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.dir)));
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    ASSERT_TRUE(WriteUninstallEntry(c.dir, FixedClock));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayName", L"Kelo游戏浏览器"));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"UninstallString", c.uninstall));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayIcon", c.icon));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallDate", L"2016-12-17"));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"URLInfoAbout", L"www.kelogame.cn"));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"Publisher", L"Kelo游戏"));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallLocation", c.dir));
    for (const wchar_t* name : {L"NoModify", L"NoRepair"}) {
      const test::RegValue value = ReadValue(kUninstallKey, name);
      ASSERT_TRUE(value.present) << testing::PrintToString(std::wstring(name));
      EXPECT_EQ(value.type, static_cast<DWORD>(REG_DWORD));
      EXPECT_EQ(value.data, (std::vector<BYTE>{0, 0, 0, 0}));
    }
    // No browser on that drive: nothing to take a version from.
    EXPECT_FALSE(ReadValue(kUninstallKey, L"DisplayVersion").present);
  }
}

// The entry goes only for its own installation, however either side spells the folder: a
// short spelling (as old scripts keep) names the same folder as the long one. With its
// location lost or emptied (a write ended half-way, a cleaning tool), the uninstaller it
// runs tells.
TEST_F(UninstallEntryTest, IsRemovedOnlyForItsOwnFolderInAnySpelling) {
  ScratchDir scratch(L"entry-spellings");
  const std::wstring dir = scratch.Make(L"Kelo Game Browser") + L"\\";
  const std::wstring other = scratch.Make(L"Kelo Game Browser 2") + L"\\";
  wchar_t short_dir[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(dir.c_str(), short_dir, MAX_PATH), 0u);
  ASSERT_NE(short_dir, dir) << "no short spelling here";
  enum Location { kKept, kLost, kEmptied };
  const struct {
    std::wstring recorded, uninstalled;
    bool removed;
    Location location = kKept;
  } cases[] = {{dir, dir, true},       {short_dir, dir, true}, {dir, short_dir, true},
               {std::wstring(1, towlower(dir[0])) + dir.substr(1), dir, true}, {dir, other, false}, {short_dir, other, false},
               {dir, dir, true, kLost}, {short_dir, dir, true, kLost}, {dir, other, false, kLost},
               {dir, dir, true, kEmptied}, {dir, other, false, kEmptied}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.recorded + L" / " + c.uninstalled) + " location " + std::to_string(c.location));
    ASSERT_TRUE(WriteUninstallEntry(c.recorded.c_str(), FixedClock));
    if (c.location == kLost) {
      ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation"), ERROR_SUCCESS);
    }
    if (c.location == kEmptied) {
      ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", REG_SZ, L"", sizeof(wchar_t)),
                ERROR_SUCCESS);
    }
    EXPECT_TRUE(RemoveUninstallEntry(c.uninstalled));
    EXPECT_EQ(ReadValue(kUninstallKey, L"UninstallString").present, !c.removed);
  }
}

// The uninstaller compares its links' targets with files it has just removed: the folder's
// short spelling still counts for them, down to levels that are gone too.
TEST(SamePath, ShortSpellingCountsForFilesNoLongerThere) {
  ScratchDir scratch(L"gone-spellings");
  const std::wstring dir = scratch.Make(L"Kelo Game Browser");
  const std::wstring other = scratch.Make(L"Kelo Game Browser 2");
  wchar_t short_dir[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(dir.c_str(), short_dir, MAX_PATH), 0u);
  ASSERT_NE(short_dir, dir) << "no short spelling here";
  const std::wstring gone = L"\\KeloBrowser.exe", gone_deeper = L"\\Gone Folder\\KeloUninstall.exe";
  const struct {
    std::wstring a, b;
    bool same;
  } cases[] = {{short_dir + gone, dir + gone, true},
               {dir + gone_deeper, short_dir + gone_deeper, true},
               {short_dir + gone, other + gone, false},
               {short_dir + gone, dir + gone_deeper, false},
               {L"\\\\?\\" + dir + gone, short_dir + gone, true},
               {L"\\\\.\\" + dir + gone, dir + gone, true}};
  for (const auto& c : cases) EXPECT_EQ(SamePath(c.a, c.b), c.same) << testing::PrintToString(c.a + L" / " + c.b);
}

TEST_F(UninstallEntryTest, DateIsSpacePaddedAndHasNoTime) {
  struct Case {
    WORD year, month, day;
    const wchar_t* expected;
  } cases[] = {
      {2016, 3, 7, L"2016- 3- 7"},
      {2016, 12, 17, L"2016-12-17"},
      {2024, 1, 31, L"2024- 1-31"},
  };
  for (const Case& c : cases) {
    SetDate(c.year, c.month, c.day);
    ASSERT_TRUE(WriteUninstallEntry(L"C:\\Kelo\\", FixedClock));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallDate", c.expected));
  }
}

TEST_F(UninstallEntryTest, DisplayVersionIsMajorDotMinorOfTheInstalledBrowser) {
  struct Case {
    const char* program;
    const wchar_t* expected;  // null: no value written
  } cases[] = {
      {KELO_DEMO_BROWSER, L"2.0"},          // 2.0.15.3
      {KELO_VERSION_1_10_EXE, L"1.10"},     // 1.10.0.0
      {KELO_NO_VERSION_EXE, nullptr},       // no version resource
  };
  SetDate(2016, 3, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    ScratchDir dir(L"kelo ver");
    test::CopyFileOrFail(test::HostPath(c.program), dir.dir() + kBrowserExe);
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    ASSERT_TRUE(WriteUninstallEntry(dir.dir(), FixedClock));
    if (c.expected)
      EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayVersion", c.expected));
    else
      EXPECT_FALSE(ReadValue(kUninstallKey, L"DisplayVersion").present);
    EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallLocation", dir.dir()));
  }
}

TEST_F(UninstallEntryTest, EarlierInstallationKeepsItsExtraValuesAndUnreadableVersion) {
  test::WriteString(kUninstallKey, L"DisplayName", L"old name");
  test::WriteString(kUninstallKey, L"DisplayVersion", L"1.5");
  test::WriteString(kUninstallKey, L"Comments", L"kept by the user");
  const DWORD one = 1;
  test::WriteRaw(kUninstallKey, L"NoModify", REG_DWORD, &one, sizeof(one));
  SetDate(2016, 3, 7);

  ScratchDir dir;  // holds no browser
  ASSERT_TRUE(WriteUninstallEntry(dir.dir(), FixedClock));
  EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayName", kProductName));
  EXPECT_TRUE(HoldsString(kUninstallKey, L"Comments", L"kept by the user"));
  EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayVersion", L"1.5"));
  EXPECT_EQ(ReadValue(kUninstallKey, L"NoModify").data, (std::vector<BYTE>{0, 0, 0, 0}));
}

TEST_F(UninstallEntryTest, KeyThatCannotBeOpenedForWritingFailsTheStepBeforeAnyValue) {
  test::LockedKey locked(kUninstallKey);
  ASSERT_TRUE(locked.applied());
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Kelo");
  SetLastError(0);
  EXPECT_EQ(logic.StepRegisterUninstall(), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  locked.Restore();
  ASSERT_TRUE(locked.applied()) << "the key could not be read back";
  EXPECT_FALSE(ReadValue(kUninstallKey, L"DisplayName").present);
  EXPECT_FALSE(ReadValue(kUninstallKey, L"InstallLocation").present);
}

TEST_F(UninstallEntryTest, StepDatesTheEntryWithTodaysLocalDate) {
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\Kelo Games");
  SYSTEMTIME before = {};
  GetLocalTime(&before);
  ASSERT_EQ(logic.StepRegisterUninstall(), 1);
  SYSTEMTIME after = {};
  GetLocalTime(&after);
  wchar_t expected[2][16];
  swprintf(expected[0], 16, L"%4d-%2d-%2d", before.wYear, before.wMonth, before.wDay);
  swprintf(expected[1], 16, L"%4d-%2d-%2d", after.wYear, after.wMonth, after.wDay);
  const std::wstring date = ReadValue(kUninstallKey, L"InstallDate").Text();
  EXPECT_TRUE(date == std::wstring(expected[0]) + L'\0' || date == std::wstring(expected[1]) + L'\0')
      << testing::PrintToString(date);
  EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallLocation", L"C:\\Kelo Games\\"));
}

TEST(ReadFileVersion, ReportsWhyItHasNoVersion) {
  struct Case {
    std::wstring path;
    bool ok;
    uint32_t major, minor;
    DWORD error;  // checked when !ok and nonzero
  } cases[] = {
      {test::HostPath(KELO_DEMO_BROWSER), true, 2, 0, 0},
      {test::HostPath(KELO_VERSION_1_10_EXE), true, 1, 10, 0},
      {test::HostPath(KELO_NO_VERSION_EXE), false, 77, 88, 0},
      {L"", false, 77, 88, ERROR_INVALID_PARAMETER},
      {L"C:\\no such folder\\KeloBrowser.exe", false, 77, 88, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.path));
    uint32_t major = 77, minor = 88;
    SetLastError(0);
    EXPECT_EQ(ReadFileVersion(c.path.c_str(), &major, &minor), c.ok);
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(minor, c.minor);
    if (!c.ok && c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  uint32_t major = 0, minor = 0;
  SetLastError(0);
  EXPECT_FALSE(ReadFileVersion(nullptr, &major, &minor));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace kelo
