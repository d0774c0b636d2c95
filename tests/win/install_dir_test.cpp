// The proposed install directory and the checks of a typed or picked one, with the
// messages the window shows under the field.
#include "sysreg/install_dir.h"
#include "sysreg/uninstall_entry.h"

#include <gtest/gtest.h>

#include "base/product.h"
#include "base/reg_key.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::ScratchDir;

TEST(InstallPathForm, NeedsADriveRootAndNoReservedCharacters) {
  const std::wstring l260 = L"C:\\" + std::wstring(257, L'a');
  const std::wstring l261 = L"C:\\" + std::wstring(258, L'a');
  const std::pair<std::wstring, bool> cases[] = {
      {L"C:\\", true},          {L"C:", false},          {L"C:x", false},
      {L"1:\\x", false},        {L"C:/Games", true},     {L"c:\\games", true},
      {L"C:\\a:b", false},      {L"\\\\server\\share", false}, {L"C:\\a|b", false},
      {L"C:\\a*b", false},      {L"C:\\a?b", false},     {L"C:\\a\"b", false},
      {L"C:\\a<b", false},      {L"C:\\a>b", false},     {L"", false},
      {L"C:\\a\tb", true},      {L"C:\\con", true},      {L"C:\\a\\\\b/c. ", true},
      {L"Z:\\Kelo\\", true},    {L"ä:\\x", false},       {L":\\x", false},
      {l260, true},             {l261, false},
  };
  for (const auto& [path, valid] : cases)
    EXPECT_EQ(IsValidInstallPath(path.c_str()), valid) << testing::PrintToString(path.substr(0, 20));
  EXPECT_FALSE(IsValidInstallPath(nullptr));
}

TEST(ProductFolder, IsAppendedWithoutLookingAtTheSeparatorAndCutToFit) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"D:\\Games", L"D:\\Games\\KeloBrowser"},
      {L"D:\\", L"D:\\\\KeloBrowser"},
      {L"", L"\\KeloBrowser"},
      {std::wstring(255, L'a'), std::wstring(255, L'a') + L"\\Kelo"},
      {std::wstring(260, L'a'), std::wstring(260, L'a')},
  };
  for (const auto& [picked, field] : cases) {
    wchar_t buffer[kDirFieldChars];
    lstrcpynW(buffer, picked.c_str(), kDirFieldChars);
    AppendProductFolder(buffer);
    EXPECT_EQ(std::wstring(buffer), field) << picked.size() << " characters picked";
    EXPECT_TRUE(IsValidInstallPath(buffer) || picked.size() < 3 || picked[1] != L':');
  }
  // No terminator within the buffer: left alone.
  wchar_t full[kDirFieldChars];
  std::fill(std::begin(full), std::end(full), L'x');
  AppendProductFolder(full);
  EXPECT_EQ(std::wstring(full, kDirFieldChars), std::wstring(kDirFieldChars, L'x'));
}

// An access list in the system's text form, as a descriptor in memory.
bool AllowsWriting(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << testing::PrintToString(std::wstring(sddl));
  if (!descriptor) return false;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);  // left by the look that measured the descriptor
  const bool allowed = DaclAllowsWriting(descriptor);
  // A denial is no failure to look: the log must not call it one.
  EXPECT_TRUE(allowed || GetLastError() == ERROR_SUCCESS) << testing::PrintToString(std::wstring(sddl));
  LocalFree(descriptor);
  return allowed;
}

TEST(WritePermission, OnlyADenialOfAllFourWriteBitsCounts) {
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"D:(D;;0x116;;;WD)(A;;FA;;;WD)", false},         // the four bits, for everyone
      {L"D:(A;;FA;;;WD)(D;;0x116;;;WD)", false},         // wherever it stands
      {L"D:(D;;0x116;;;S-1-5-21-1-2-3-1001)", false},    // for a trustee who is not us
      {L"D:(D;OICIIO;0x116;;;WD)", false},               // inherit-only: flags not looked at
      {L"D:(D;;FW;;;WD)", false},                        // FILE_GENERIC_WRITE holds all four
      {L"D:(D;;FA;;;WD)", false},
      {L"D:(D;;0x2;;;WD)(A;;FA;;;WD)", true},            // FILE_WRITE_DATA only
      {L"D:(D;;0x114;;;WD)", true},                      // FILE_WRITE_DATA missing
      {L"D:(D;;0x112;;;WD)", true},                      // FILE_APPEND_DATA missing
      {L"D:(D;;0x106;;;WD)", true},                      // FILE_WRITE_EA missing
      {L"D:(D;;0x16;;;WD)", true},                       // FILE_WRITE_ATTRIBUTES missing
      {L"D:(D;;GW;;;WD)", true},                         // generic rights do not count
      {L"D:(A;;FA;;;WD)", true},
      {L"D:(A;;FR;;;WD)", true},                         // allowed entries play no part
      {L"D:", true},                                     // a list without entries
      {L"D:NO_ACCESS_CONTROL", true},                    // no list: everyone may do anything
      {L"O:WD", true},                                   // no list given at all
  };
  for (const auto& [sddl, allowed] : cases)
    EXPECT_EQ(AllowsWriting(sddl), allowed) << testing::PrintToString(std::wstring(sddl));
}

TEST(WritePermission, WalksUpToTheNearestExistingFolder) {
  ScratchDir dir(L"kelo perm");
  std::wstring slashed = dir.path() + L"/new/deeper/KeloBrowser";
  for (wchar_t& c : slashed)
    if (c == L'\\') c = L'/';
  const std::pair<std::wstring, std::wstring> cases[] = {
      {dir.path(), dir.path()},
      {dir.dir() + L"new\\deeper\\KeloBrowser\\", dir.path()},
      {slashed, dir.path()},
      {dir.Make(L"made") + L"\\new", dir.path() + L"\\made"},
      {L"Q:\\Games\\KeloBrowser", L"Q:\\"},
  };
  for (const auto& [path, nearest] : cases)
    EXPECT_EQ(NearestExistingDir(path.c_str()), nearest) << testing::PrintToString(path);

  EXPECT_TRUE(IsDirWritable(dir.path().c_str()));
  EXPECT_TRUE(IsDirWritable((dir.dir() + L"new\\deeper\\KeloBrowser\\").c_str()));
  EXPECT_TRUE(IsDirWritable(slashed.c_str()));
  // A drive that does not exist: its root has no descriptor to read.
  EXPECT_FALSE(IsDirWritable(L"Q:\\Games\\KeloBrowser"));
  for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L""}) {
    SetLastError(0);
    EXPECT_FALSE(IsDirWritable(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

uint64_t g_free_bytes = 0;
bool g_free_known = true;
std::wstring g_asked_root;
DWORD g_asked_error_mode = 0;
bool FakeFreeSpace(const wchar_t* root, uint64_t* bytes) {
  g_asked_root = root;
  g_asked_error_mode = GetThreadErrorMode();
  *bytes = g_free_bytes;
  if (!g_free_known) SetLastError(ERROR_NOT_READY);  // a card reader without its card
  return g_free_known;
}

TEST(Validation, FreeSpaceDecidesAndIsShownInMegabytesOrGigabytes) {
  struct Case {
    uint64_t bytes;
    bool valid;
    const wchar_t* message;
  } cases[] = {
      {0, false, L"剩余空间不足, 请选择其他分区"},
      {16777215, false, L"剩余空间不足, 请选择其他分区"},
      {16777216, true, L"剩余空间: 16.00MB"},
      {16777216 + 5242, true, L"剩余空间: 16.00MB"},
      {16777216 + 5243, true, L"剩余空间: 16.01MB"},
      {1073741823, true, L"剩余空间: 1024.00MB"},
      {1073741824, true, L"剩余空间: 1.00GB"},
      {1610612736, true, L"剩余空间: 1.50GB"},
      {4294967296, true, L"剩余空间: 4.00GB"},  // only the high half set
      {5368709120 + 16777216, true, L"剩余空间: 5.02GB"},
      {1099511627776, true, L"剩余空间: 1024.00GB"},
  };
  ScratchDir dir;
  const std::wstring path = dir.dir() + L"KeloBrowser";
  for (const Case& c : cases) {
    g_free_bytes = c.bytes;
    g_free_known = true;
    g_asked_root.clear();
    const DirCheck check = ValidateInstallDir(path.c_str(), PathReach{}, FakeFreeSpace);
    EXPECT_EQ(check.valid, c.valid) << c.bytes;
    EXPECT_EQ(check.message, c.message) << c.bytes;
    EXPECT_EQ(g_asked_root, path.substr(0, 3)) << c.bytes;
  }
}

TEST(Validation, EachFailureHasItsMessage) {
  g_free_bytes = 1ull << 40;
  g_free_known = true;
  struct Case {
    const wchar_t* path;
    bool free_known;
    bool valid;
    const wchar_t* message;
  } cases[] = {
      {L"", true, false, L"请选择一个正确的目录路径"},
      {L"Games\\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\a?b", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games \\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:/Games/Kelo ", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\Kelo \\", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games .\\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:/Games/Kelo..", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\...\\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\Ke\tlo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\windows\\system32\\kernel32.dll", true, false, L"请选择一个正确的目录路径"},
      {L"C:/windows/system32/kernel32.dll/Kelo/", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\NUL", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\com1\\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\LPT1.txt", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\CON .txt\\Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\aux.Kelo", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\COM\u00b9", true, false, L"请选择一个正确的目录路径"},
      {L"C:\\Games\\COM0\\Console\\nullable", true, true, L"剩余空间: 1024.00GB"},
      {L"C:\\My Games\\Kelo.", true, true, L"剩余空间: 1024.00GB"},
      {L"C:\\Games\\.\\..\\Kelo.\\", true, true, L"剩余空间: 1024.00GB"},
      {L"Q:\\Games\\KeloBrowser", true, false, L"当前选择目录没有写权限, 请选择另一个目录"},
      {L"C:/Games/KeloBrowser", false, false, L"无法获取剩余空间, 请选择其他分区"},
      {L"C:/Games/KeloBrowser", true, true, L"剩余空间: 1024.00GB"},
  };
  for (const Case& c : cases) {
    g_free_known = c.free_known;
    g_asked_root.clear();
    const DirCheck check = ValidateInstallDir(c.path, PathReach{}, FakeFreeSpace);
    EXPECT_EQ(check.valid, c.valid) << testing::PrintToString(std::wstring(c.path));
    EXPECT_EQ(check.message, c.message) << testing::PrintToString(std::wstring(c.path));
  }
  EXPECT_EQ(g_asked_root, L"C:/");
  EXPECT_FALSE(ValidateInstallDir(nullptr, PathReach{}, FakeFreeSpace).valid);
}

// Many rules share one message: the log tells them apart, with the system's error where a
// look at the disk failed.
TEST(Validation, EachRefusalNamesItsCauseForTheLog) {
  const struct {
    const wchar_t* path;
    PathReach reach;
    bool free_known;
    uint64_t free_bytes;
    const wchar_t* cause;
  } cases[] = {
      {L"Games\\Kelo", {}, true, 1ull << 40, L"no folder path on a drive letter"},
      {L"C:\\a|b", {}, true, 1ull << 40, L"no folder path on a drive letter"},
      {L"C:\\Games .\\Kelo", {}, true, 1ull << 40, L"ends in a space or dot"},
      {L"C:\\Games\\Kelo", {250, 0}, true, 1ull << 40, L"too long for the payload's longest path"},
      {L"C:\\Games\\NUL", {}, true, 1ull << 40, L"opens a device"},
      {L"Q:\\Games\\KeloBrowser", {}, true, 1ull << 40, L"its permissions cannot be read, error "},
      {L"C:\\Games\\KeloBrowser", {}, false, 0, L"the drive's free space cannot be read, error 21"},
      {L"C:\\Games\\KeloBrowser", {}, true, 16777215, L"16777215 bytes free"},
  };
  for (const auto& c : cases) {
    g_free_known = c.free_known;
    g_free_bytes = c.free_bytes;
    const DirCheck check = ValidateInstallDir(c.path, c.reach, FakeFreeSpace);
    EXPECT_FALSE(check.valid) << testing::PrintToString(std::wstring(c.path));
    EXPECT_NE(check.cause.find(c.cause), std::wstring::npos)
        << testing::PrintToString(std::wstring(c.path)) << " says " << testing::PrintToString(check.cause);
  }
  g_free_known = true;
  // The field reads back 259 characters whole: one more is refused, whatever else holds.
  EXPECT_NE(ValidateDirText(std::wstring(kDirFieldChars - 2, L'd'), PathReach{}).cause, L"longer than the field takes");
  EXPECT_EQ(ValidateDirText(std::wstring(kDirFieldChars - 1, L'd'), PathReach{}).cause, L"longer than the field takes");
}

// A folder on the way that exists is passed through, whatever its name: a path opens a
// device only for the name it ends in ("C:\Users\con.smith\AppData").
TEST(Validation, AnExistingFolderOnTheWayMayBearADevicesName) {
  g_free_bytes = 1ull << 40;
  g_free_known = true;
  ScratchDir dir(L"kelo devices");
  const std::wstring aux = L"\\\\?\\" + dir.dir() + L"aux.d";
  ASSERT_TRUE(CreateDirectoryW(aux.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((aux + L"\\Games").c_str(), nullptr));
  const std::wstring games = dir.dir() + L"aux.d\\Games\\";
  const std::pair<std::wstring, bool> cases[] = {
      {games + L"Kelo", true}, {games + L"Kelo\\", true}, {games + L"nul", false}, {games + L"com1\\Kelo", false}};
  for (const auto& [path, valid] : cases)
    EXPECT_EQ(ValidateInstallDir(path.c_str(), PathReach{}, FakeFreeSpace).valid, valid) << testing::PrintToString(path);
  RemoveDirectoryW((aux + L"\\Games").c_str());
  RemoveDirectoryW(aux.c_str());
}

// Windows takes paths of 259 characters and folders of 247 at most: a directory whose
// deepest file or folder would pass them is refused, with or without its final separator.
TEST(Validation, ADirectoryTooLongForWhatTheInstallMakesBelowItIsRefused) {
  g_free_bytes = 1ull << 40;
  g_free_known = true;
  const PathReach reach{40, 20};  // the file's limit binds: 259 - 40 = 219 for the directory and its separator
  const PathReach deep{40, 30};   // the folder's: 247 - 30 = 217
  const auto dir = [](size_t chars, const wchar_t* end) {
    return L"C:\\" + std::wstring(chars - 3 - wcslen(end), L'd') + end;
  };
  const struct {
    std::wstring path;
    PathReach reach;
    bool valid;
  } cases[] = {
      {dir(218, L""), reach, true},     {dir(219, L""), reach, false},
      {dir(219, L"\\"), reach, true}, {dir(220, L"\\"), reach, false},
      {dir(219, L"/"), reach, true},    {dir(220, L"/"), reach, false},
      {dir(216, L""), deep, true},      {dir(217, L""), deep, false},
      {dir(217, L"\\"), deep, true},  {dir(218, L"\\"), deep, false},
      {dir(258, L""), PathReach{}, true},
  };
  for (const auto& c : cases) {
    const DirCheck check = ValidateInstallDir(c.path.c_str(), c.reach, FakeFreeSpace);
    EXPECT_EQ(check.valid, c.valid) << c.path.size() << " characters, reach " << c.reach.file_chars << "/"
                                    << c.reach.folder_chars;
    if (c.valid) continue;
    EXPECT_EQ(check.message, kDirBadFormText);
    EXPECT_FALSE(ValidateDirText(c.path, c.reach).valid) << c.path.size();
  }
}

// The check runs on the window's thread and the unattended run's: neither may stop at the
// system's "no disk" box, nor lose the thread's own settings to the check.
TEST(Validation, ADriveWithoutItsDiskIsAskedWithoutTheSystemsBox) {
  const DWORD before = GetThreadErrorMode();
  ASSERT_TRUE(SetThreadErrorMode(SEM_NOGPFAULTERRORBOX, nullptr));
  ScratchDir dir;
  g_free_known = false;
  g_asked_error_mode = 0;
  EXPECT_FALSE(ValidateInstallDir((dir.dir() + L"KeloBrowser").c_str(), PathReach{}, FakeFreeSpace).valid);
  g_free_known = true;
  EXPECT_EQ(g_asked_error_mode, DWORD{SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
  EXPECT_EQ(GetThreadErrorMode(), DWORD{SEM_NOGPFAULTERRORBOX});
  SetThreadErrorMode(before, nullptr);
}

TEST(Validation, RealDriveReportsItsFreeSpace) {
  uint64_t bytes = 0;
  ASSERT_TRUE(QueryFreeSpace(L"C:\\", &bytes));
  ULARGE_INTEGER available = {};
  ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &available, nullptr, nullptr));
  // Both asked within moments of each other; other tests write to the same disk.
  EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(available.QuadPart), 256.0 * 1024 * 1024);
  EXPECT_FALSE(QueryFreeSpace(L"Q:\\", &bytes));
  // A root typed with a slash is a root all the same.
  uint64_t slashed = 0;
  EXPECT_TRUE(QueryFreeSpace(L"C:/", &slashed));
  EXPECT_NEAR(static_cast<double>(slashed), static_cast<double>(bytes), 256.0 * 1024 * 1024);
  ScratchDir dir;
  const DirCheck check = ValidateInstallDir((dir.dir() + L"KeloBrowser").c_str(), PathReach{});
  EXPECT_EQ(check.valid, available.QuadPart >= (16u << 20));
  EXPECT_EQ(check.message.rfind(L"剩余空间: ", 0), 0u) << testing::PrintToString(check.message);
}

class DefaultDirTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataValue);
  }
};

// After an uninstall that kept Data somewhere else than the default folder, the next install
// goes there while the Data is, until an entry records a location again.
TEST_F(DefaultDirTest, ProposesWhereDataWasKeptUntilAnEntryRecordsALocation) {
  const std::wstring fallback = test::ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Kelo\\KeloBrowser\\";
  ScratchDir kept;
  ScratchDir other;
  ASSERT_TRUE(RememberKeptData(kept.dir(), 2));
  std::wstring proposal;
  ASSERT_TRUE(DefaultInstallDir(&proposal));
  EXPECT_EQ(proposal, fallback) << "no Data there";
  ASSERT_TRUE(CreateDirectoryW((kept.dir() + L"Data").c_str(), nullptr));
  ASSERT_TRUE(DefaultInstallDir(&proposal));
  EXPECT_EQ(proposal, kept.dir());
  uint32_t levels = 0;
  EXPECT_TRUE(KeptDataLocation(&proposal, &levels));
  EXPECT_EQ(levels, 2u);
  ASSERT_TRUE(WriteUninstallEntry(other.dir()));
  ASSERT_TRUE(DefaultInstallDir(&proposal));
  EXPECT_EQ(proposal, other.dir());
  ASSERT_TRUE(RemoveUninstallEntry(other.dir()));
  ASSERT_TRUE(DefaultInstallDir(&proposal));
  EXPECT_EQ(proposal, fallback) << "the entry written since forgets where Data was kept";
}

// The remembered level count and the failure memory are numbers: a value of any other type
// or size, as a cleaning tool or a hand edit may leave, is refused alike.
TEST_F(DefaultDirTest, ANumberIsReadOnlyFromADword) {
  const DWORD seven = 7;
  const uint64_t wide_seven = 7;
  struct Case {
    const wchar_t* name;
    DWORD type;
    const void* data;  // null: no value at all
    DWORD bytes;
    LONG expected;
  } cases[] = {
      {L"dword", REG_DWORD, &seven, 4, ERROR_SUCCESS},
      {L"missing", REG_DWORD, nullptr, 0, ERROR_FILE_NOT_FOUND},
      {L"qword", REG_QWORD, &wide_seven, 8, ERROR_INVALID_DATA},
      {L"four bytes of binary", REG_BINARY, &seven, 4, ERROR_INVALID_DATA},
      {L"two bytes typed dword", REG_DWORD, &seven, 2, ERROR_INVALID_DATA},
      {L"short text", REG_SZ, L"7", 4, ERROR_INVALID_DATA},
      {L"long text", REG_SZ, L"seven days", 22, ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataLevelsValue);
    if (c.data) test::WriteRaw(kKeptDataKey, kKeptDataLevelsValue, c.type, c.data, c.bytes);
    RegKey key;
    ASSERT_EQ(key.Create(kKeptDataKey, KEY_READ), ERROR_SUCCESS);
    DWORD value = 99;
    EXPECT_EQ(key.ReadDword(kKeptDataLevelsValue, &value), c.expected);
    EXPECT_EQ(value, c.expected == ERROR_SUCCESS ? 7u : 99u);
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataLevelsValue);
}

TEST_F(DefaultDirTest, ProposesTheRecordedLocationExactlyAsStoredElseLocalAppData) {
  const std::wstring fallback = test::ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\Kelo\\KeloBrowser\\";
  ASSERT_NE(fallback, L"\\Kelo\\KeloBrowser\\");
  const std::wstring l259(259, L'd');
  const std::wstring l260(260, L'd');
  const DWORD number = 1;
  const wchar_t unterminated[] = {L'D', L':', L'\\', L'a'};
  struct Case {
    const wchar_t* name;
    DWORD type;
    const void* data;  // null: no key at all
    DWORD bytes;
    std::wstring expected;
  } cases[] = {
      {L"no entry", REG_SZ, nullptr, 0, fallback},
      {L"with backslash", REG_SZ, L"D:\\Games\\KeloBrowser\\", 44, L"D:\\Games\\KeloBrowser\\"},
      {L"without backslash", REG_SZ, L"D:\\Games\\KeloBrowser", 42, L"D:\\Games\\KeloBrowser"},
      {L"empty", REG_SZ, L"", 2, L""},
      {L"expandable", REG_EXPAND_SZ, L"%TEMP%\\Kelo", 24, L"%TEMP%\\Kelo"},
      {L"259 characters", REG_SZ, l259.c_str(), 520, l259},
      {L"260 characters", REG_SZ, l260.c_str(), 522, fallback},
      {L"number", REG_DWORD, &number, 4, fallback},
      {L"no terminator", REG_SZ, unterminated, 8, fallback},
      {L"odd byte count", REG_SZ, L"D:\\", 7, fallback},
      {L"no bytes", REG_SZ, L"", 0, fallback},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    if (c.data) test::WriteRaw(kUninstallKey, L"InstallLocation", c.type, c.data, c.bytes);
    std::wstring proposal = L"untouched";
    ASSERT_TRUE(DefaultInstallDir(&proposal));
    EXPECT_EQ(proposal, c.expected);
  }
}

}  // namespace
}  // namespace kelo
