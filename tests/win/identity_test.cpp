// The user's identity in the registry and the channel and new-user flag in KeloS.ini, as
// the browser reads them back.
#include "sysreg/identity.h"

#include <gtest/gtest.h>

#include <cwctype>

#include "base/module.h"
#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::HoldsString;
using test::ReadValue;
using test::ScratchDir;

std::wstring StoredIdentity() {
  const test::RegValue value = ReadValue(kIdentityKey, kIdentityValue);
  std::wstring text = value.Text();
  if (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

// "{8-4-4-4-12} " with upper-case hex digits, except lower case in the third group.
bool IsIdentityText(const std::wstring& text) {
  static const int kGroups[] = {8, 4, 4, 4, 12};
  if (text.size() != 39 || text[0] != L'{' || text.substr(37) != L"} ") return false;
  size_t at = 1;
  for (int g = 0; g < 5; ++g) {
    for (int i = 0; i < kGroups[g]; ++i, ++at) {
      const wchar_t c = text[at];
      const bool digit = c >= L'0' && c <= L'9';
      const bool letter = g == 2 ? (c >= L'a' && c <= L'f') : (c >= L'A' && c <= L'F');
      if (!digit && !letter) return false;
    }
    if (g < 4 && text[at++] != L'-') return false;
  }
  return at == 37;
}

TEST(ChannelId, IsTheTextBetweenTheFirstUnderscoreAndTheFirstDot) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"KeloSetup_1024.exe", L"1024"},  {L"KeloSetup.exe", L"1"},     {L"KeloSetup_a2.3_x.exe", L"a2"},
      {L"_7.exe", L"7"},                 {L"KeloSetup_.exe", L""},     {L"Kelo.Setup_12.exe", L""},
      {L"KeloSetup_12", L""},            {L"KeloSetup", L"1"},         {L"", L"1"},
      {L"Kelo_Setup_9.exe", L"Setup_9"}, {L"KeloSetup_1024 (1).exe", L"1024 (1)"},
  };
  for (const auto& [name, channel] : cases)
    EXPECT_EQ(ParseChannelId(name), channel) << testing::PrintToString(std::wstring(name));
}

TEST(IdentityText, HasTheBrowsersExactForm) {
  const GUID guid = {0x0123ABCD, 0xEF01, 0xABCD, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  EXPECT_EQ(FormatIdentity(guid), L"{0123ABCD-EF01-abcd-FEDC-BA9876543210} ");
  const GUID zero = {};
  EXPECT_EQ(FormatIdentity(zero), L"{00000000-0000-0000-0000-000000000000} ");
}

// The channel is read from the installer's own name, which a start by its short path
// would give in its short form.
TEST(InstallerName, IsTheLongNameWhenThePathIsShort) {
  test::ScratchDir dir(L"short name");
  const std::wstring exe = dir.dir() + L"KeloSetup_42.exe";
  test::WriteFileBytes(exe, "MZ");
  wchar_t short_path[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameW(exe.c_str(), short_path, MAX_PATH), 0u);
  ASSERT_EQ(std::wstring(short_path).find(L"KeloSetup_42"), std::wstring::npos) << "no short name";
  EXPECT_EQ(LongFileName(short_path), L"KeloSetup_42.exe");
  EXPECT_EQ(LongFileName(exe.c_str()), L"KeloSetup_42.exe");
  EXPECT_EQ(LongFileName(L"C:\\not there\\KELOSE~9.EXE"), L"KELOSE~9.EXE");
  // In a folder whose long form is too long for a path, while the short one is not.
  const std::wstring deep = L"\\\\?\\" + dir.dir() + std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e');
  const std::wstring deep_exe = deep + L"\\KeloSetup_42.exe";
  test::WriteFileBytes(deep_exe, "MZ");
  ASSERT_GT(deep_exe.size(), 4u + MAX_PATH);
  wchar_t deep_short[MAX_PATH] = {};
  const DWORD length = GetShortPathNameW(deep_exe.c_str(), deep_short, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH && deep_short[2] == L'?') << deep_short;
  EXPECT_EQ(LongFileName(deep_short + 4), L"KeloSetup_42.exe") << deep_short;
  DeleteFileW(deep_exe.c_str());
  RemoveDirectoryW(deep.c_str());
  RemoveDirectoryW(deep.substr(0, deep.rfind(L'\\')).c_str());
}

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelo"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelo"); }

  std::wstring Ini() const { return dir_.dir() + L"KeloS.ini"; }

  ScratchDir dir_{L"kelo id"};
};

TEST_F(IdentityTest, FirstInstallationMakesAnIdentitySecondKeepsIt) {
  CSetupLogic logic;
  logic.SetInstallDir(dir_.path().c_str());
  logic.new_user = 7;
  ASSERT_EQ(logic.StepIdentity(), 1);
  EXPECT_EQ(logic.new_user, 1);
  const std::wstring first = StoredIdentity();
  EXPECT_TRUE(IsIdentityText(first)) << testing::PrintToString(first);
  EXPECT_TRUE(HoldsString(kIdentityKey, kIdentityValue, first));  // REG_SZ, 80 bytes
  EXPECT_EQ(ReadValue(kIdentityKey, kIdentityValue).data.size(), 80u);
  EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"IsNewUser"), L"1");
  // The channel comes from this program's own name, "identity_test.exe".
  EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"ChannelId"), L"test");
  // A retry after a later step failed finds the identity just made: the user is still new.
  ASSERT_EQ(logic.StepIdentity(), 1);
  EXPECT_EQ(logic.new_user, 1);
  EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"IsNewUser"), L"1");

  CSetupLogic again;
  again.SetInstallDir(dir_.path().c_str());
  again.new_user = 7;
  ASSERT_EQ(again.StepIdentity(), 1);
  EXPECT_EQ(again.new_user, 0);
  EXPECT_EQ(StoredIdentity(), first);
  EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"IsNewUser"), L"0");
}

TEST_F(IdentityTest, AnyStoredIdentityIsKept) {
  const std::wstring long_value(200, L'x');
  const std::wstring kept[] = {L"not a guid", L" ", L"x", long_value};
  for (const std::wstring& identity : kept) {
    SCOPED_TRACE(testing::PrintToString(identity.substr(0, 20)));
    test::WriteString(kIdentityKey, kIdentityValue, identity);
    int32_t new_user = 7;
    ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup_5.exe", CoCreateGuid, &new_user));
    EXPECT_EQ(new_user, 0);
    EXPECT_EQ(StoredIdentity(), identity);
  }
}

TEST_F(IdentityTest, MissingOrEmptyIdentityIsReplaced) {
  struct Case {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
  } cases[] = {
      {L"empty string", REG_SZ, {0, 0}},
      {L"no bytes", REG_SZ, {}},
      {L"leading zero", REG_BINARY, {0, 0, 'A', 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    RegDeleteTreeW(HKEY_CURRENT_USER, kIdentityKey);
    test::WriteRaw(kIdentityKey, kIdentityValue, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    int32_t new_user = 7;
    ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup.exe", CoCreateGuid, &new_user));
    EXPECT_EQ(new_user, 1);
    EXPECT_TRUE(IsIdentityText(StoredIdentity())) << testing::PrintToString(StoredIdentity());
  }
}

HRESULT WINAPI FailingGuid(GUID*) { return E_OUTOFMEMORY; }
HRESULT WINAPI FixedGuid(GUID* guid) {
  *guid = {0xDEADBEEF, 0xCAFE, 0xF00D, {1, 2, 3, 4, 5, 6, 7, 8}};
  return S_OK;
}

TEST_F(IdentityTest, WithoutAGuidAnEmptyIdentityIsStoredAndTheNextInstallationTriesAgain) {
  int32_t new_user = 7;
  ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup_3.exe", FailingGuid, &new_user));
  EXPECT_EQ(new_user, 1);
  EXPECT_TRUE(HoldsString(kIdentityKey, kIdentityValue, L""));
  EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"IsNewUser"), L"1");

  new_user = 0;  // the next installation is another run
  ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup_3.exe", FixedGuid, &new_user));
  EXPECT_EQ(new_user, 1);
  EXPECT_TRUE(HoldsString(kIdentityKey, kIdentityValue, L"{DEADBEEF-CAFE-f00d-0102-030405060708} "));
}

TEST_F(IdentityTest, ChannelFileKeepsOtherSectionsAndKeys) {
  WritePrivateProfileStringW(L"StatInfo", L"ChannelId", L"old", Ini().c_str());
  WritePrivateProfileStringW(L"StatInfo", L"InstallCount", L"3", Ini().c_str());
  WritePrivateProfileStringW(L"Skin", L"Name", L"default", Ini().c_str());
  struct Case {
    const wchar_t* installer;
    const wchar_t* channel;
    const wchar_t* new_user;
  } cases[] = {
      {L"KeloSetup_1024.exe", L"1024", L"1"},
      {L"KeloSetup.exe", L"1", L"0"},
      {L"Kelo.Setup_12.exe", L"", L"0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.installer)));
    int32_t new_user = 7;
    ASSERT_TRUE(RecordIdentity(dir_.dir(), c.installer, CoCreateGuid, &new_user));
    EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"ChannelId"), c.channel);
    EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"IsNewUser"), c.new_user);
    EXPECT_EQ(test::IniValue(Ini(), L"StatInfo", L"InstallCount"), L"3");
    EXPECT_EQ(test::IniValue(Ini(), L"Skin", L"Name"), L"default");
  }
}

// The channel file the commit has just put in place may be held for a moment (a scanner):
// the install goes on, but what went unwritten is said, for the log.
TEST_F(IdentityTest, ChannelFileThatCannotBeWrittenIsNamedNotFailed) {
  const std::string shipped = "[StatInfo]\r\nVersion=3\r\n";
  test::WriteFileBytes(Ini(), shipped);
  ScopedHandle held(CreateFileW(Ini().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  int32_t new_user = -1;
  std::wstring unwritten = L"stale";
  ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup_8.exe", CoCreateGuid, &new_user, &unwritten));
  EXPECT_EQ(new_user, 1);
  EXPECT_TRUE(ReadValue(kIdentityKey, kIdentityValue).present);
  EXPECT_EQ(unwritten, L"ChannelId: error 32, IsNewUser: error 32");
  held.Reset();
  EXPECT_EQ(test::ReadFileBytes(Ini()), shipped);
  // Let go, it is written, and nothing is named.
  ASSERT_TRUE(RecordIdentity(dir_.dir(), L"KeloSetup_8.exe", CoCreateGuid, &new_user, &unwritten));
  EXPECT_EQ(unwritten, L"");
  EXPECT_EQ(test::ReadFileBytes(Ini()), shipped + "ChannelId=8\r\nIsNewUser=1\r\n");
}

TEST_F(IdentityTest, KeyThatCannotBeOpenedFailsTheStepAndWritesNothing) {
  test::LockedKey locked(kIdentityKey);
  ASSERT_TRUE(locked.applied());
  CSetupLogic logic;
  logic.SetInstallDir(dir_.path().c_str());
  logic.new_user = 7;
  SetLastError(0);
  EXPECT_EQ(logic.StepIdentity(), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(logic.new_user, 7);
  EXPECT_FALSE(test::FileExists(Ini()));
  locked.Restore();
  ASSERT_TRUE(locked.applied()) << "the key could not be read back";
  EXPECT_FALSE(ReadValue(kIdentityKey, kIdentityValue).present);
}

}  // namespace
}  // namespace kelo
