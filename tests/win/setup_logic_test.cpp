// The install pipeline: which steps the options schedule, and the worker's contract with
// the window: one message per step, the failure last, nothing after it.
#include <gtest/gtest.h>
#include <objbase.h>

#include <string>
#include <utility>
#include <vector>

#include "base/account.h"
#include "base/file_paths.h"
#include "setup/install_log.h"
#include "setup/ledger.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using Report = std::pair<WPARAM, LPARAM>;

// A logic object whose steps record that they ran and fail where the test says.
class ScriptedLogic : public CSetupLogic {
 public:
  std::vector<uint32_t> ran;
  uint32_t failing_id = 0xFFFFFFFF;
  DWORD failing_error = ERROR_DISK_FULL;
  APTTYPE apartment = APTTYPE_CURRENT;

  int Record(uint32_t id) {
    ran.push_back(id);
    APTTYPEQUALIFIER qualifier;
    CoGetApartmentType(&apartment, &qualifier);
    if (id == failing_id) {
      SetLastError(failing_error);
      return 0;
    }
    return 1;
  }
  int S0() { return Record(0); }
  int S1() { return Record(1); }
  int S3() { return Record(3); }
  int S4() { return Record(4); }
  int S5() { return Record(5); }
  int S7() { return Record(7); }
  int S9() { return Record(9); }

  void Schedule(std::initializer_list<std::pair<uint32_t, int (ScriptedLogic::*)()>> steps) {
    for (const auto& [id, fn] : steps) ASSERT_TRUE(AddStep({id, static_cast<StepFunction>(fn)}));
  }
};

// A real top-level window on the test thread receives the worker's posts.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = CreateWindowExW(0, L"STATIC", L"pipeline test", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { DestroyWindow(window_); }

  // Runs the worker to its end and collects what reached the window.
  std::vector<Report> Run(CSetupLogic& logic) {
    EXPECT_TRUE(logic.StartWorker(window_));
    DWORD code = 1;
    EXPECT_TRUE(logic.WaitForWorker(10000, &code));
    EXPECT_EQ(code, 0u);
    std::vector<Report> reports;
    MSG msg;
    while (PeekMessageW(&msg, window_, WM_SETUP_STEP, WM_SETUP_STEP, PM_REMOVE))
      reports.emplace_back(msg.wParam, msg.lParam);
    return reports;
  }

  HWND window_ = nullptr;
};

std::vector<uint32_t> ScheduledIds(const CSetupLogic& logic) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < logic.StepCount(); ++i) {
    ids.push_back(logic.StepAt(i).id);
    EXPECT_TRUE(logic.StepAt(i).function == CSetupLogic::kStepTable[logic.StepAt(i).id].function)
        << "step " << logic.StepAt(i).id << " does not run its own function";
  }
  return ids;
}

TEST(Schedule, FollowsTheOptionsInFixedOrder) {
  struct Case {
    InstallOptions options;
    std::vector<uint32_t> expected;
  } cases[] = {
      {{false, false, false, false}, {0, 1, 9, 4, 7}},
      {{true, true, true, false}, {0, 1, 9, 3, 4, 5, 6, 7}},
      {{true, false, false, false}, {0, 1, 9, 3, 4, 7}},
      {{false, true, false, false}, {0, 1, 9, 4, 5, 7}},
      {{false, false, true, false}, {0, 1, 9, 4, 6, 7}},
      {{false, false, false, true}, {8, 0, 1, 9, 4, 7}},
  };
  for (const Case& c : cases) {
    CSetupLogic logic;
    logic.ScheduleInstall(c.options);
    EXPECT_EQ(ScheduledIds(logic), c.expected);
  }
}

// Install-now ends the running browser only where it can install: not over an installation
// whose ledger or unfinished journal it cannot understand (damaged, or a later version's),
// which it leaves as is.
TEST(Schedule, EndsNoRunningBrowserOfAnInstallationItCannotInstallInto) {
  const std::string later_journal = "KeloSetup journal 2\nlater\tline\nend\t2\n";
  const struct {
    std::string ledger;   // empty: none
    std::string journal;  // likewise
    bool stops;
  } cases[] = {{"", "", true},
               {FormatLedger(Ledger()), "", true},
               {"KeloSetup ledger 2\nlater\tline\nend\t2\n", "", false},
               {FormatLedger(Ledger()).substr(0, 20), "", false},
               {FormatLedger(Ledger()), later_journal, false},
               {FormatLedger(Ledger()), later_journal.substr(0, 25), false},
               {FormatLedger(Ledger()), FormatJournal(Journal()).substr(0, 25), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ledger + " / " + c.journal);
    const test::ScratchDir dir(L"kelo-schedule");
    if (!c.ledger.empty()) test::WriteFileBytes(dir.dir() + L"KeloSetup.ledger", c.ledger);
    if (!c.journal.empty()) test::WriteFileBytes(dir.dir() + L"KeloSetup.journal", c.journal);
    CSetupLogic logic;
    logic.SetInstallDir(dir.dir().c_str());
    logic.ScheduleInstall({false, false, false, true});
    EXPECT_EQ(ScheduledIds(logic).front() == kStepStopRunning, c.stops);
  }
}

TEST(Schedule, StepTableIdsEqualTheirPositions) {
  for (uint32_t i = 0; i < kStepTableSize; ++i) EXPECT_EQ(CSetupLogic::kStepTable[i].id, i);
  CSetupLogic logic;
  EXPECT_NE((logic.*CSetupLogic::kStepTable[kStepReserved].function)(), 0);
  EXPECT_NE((logic.*CSetupLogic::kStepTable[kStepDefaultBrowser].function)(), 0);
}

TEST(Schedule, StepListHoldsAtMostOneHundredEntries) {
  CSetupLogic logic;
  for (size_t i = 0; i < kMaxInstallSteps; ++i) ASSERT_TRUE(logic.AddStep(CSetupLogic::kStepTable[2]));
  EXPECT_FALSE(logic.AddStep(CSetupLogic::kStepTable[2]));
  EXPECT_EQ(logic.StepCount(), kMaxInstallSteps);
}

TEST(InstallDir, EndsWithExactlyTheSeparatorTheUserTypedOrABackslash) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"C:\\Games\\Kelo", L"C:\\Games\\Kelo\\"},
      {L"C:\\Games\\Kelo\\", L"C:\\Games\\Kelo\\"},
      {L"D:/Games/KeloBrowser/", L"D:/Games/KeloBrowser/"},
      {L"D:/Games/KeloBrowser", L"D:/Games/KeloBrowser\\"},
      {L"C:\\My Games", L"C:\\My Games\\"},
      {L"", L"\\"},
  };
  for (const auto& [typed, stored] : cases) {
    CSetupLogic logic;
    logic.SetInstallDir(typed);
    EXPECT_EQ(logic.InstallDir(), stored) << typed;
  }
  CSetupLogic logic;
  logic.SetInstallDir(L"C:\\kept");
  logic.SetInstallDir(nullptr);
  EXPECT_EQ(logic.InstallDir(), L"C:\\kept\\");
}

// Older installers left their packet in the install directory; the one of the same name in
// the current directory (a download folder) belongs to somebody else.
TEST(InstallDir, AnOldPacketFileGoesOnlyFromTheInstallDirectory) {
  const test::ScratchDir root(L"kelo-legacy");
  const std::wstring install_dir = root.dir() + L"install\\", current_dir = root.dir() + L"current\\";
  test::WriteFileBytes(install_dir + kLegacyPacketFileName, "old packet");
  test::WriteFileBytes(current_dir + kLegacyPacketFileName, "a download");
  ASSERT_TRUE(SetCurrentDirectoryW(current_dir.c_str()));
  { CSetupLogic never_installed; }
  EXPECT_TRUE(test::FileExists(install_dir + kLegacyPacketFileName));
  {
    CSetupLogic installed;
    installed.SetInstallDir(install_dir.c_str());
  }
  EXPECT_FALSE(test::FileExists(install_dir + kLegacyPacketFileName));
  EXPECT_EQ(test::ReadFileBytes(current_dir + kLegacyPacketFileName), "a download");
  SetCurrentDirectoryW(test::TempRoot().c_str());
}

TEST_F(PipelineTest, EveryStepReportsSuccessInOrderInAMultithreadedApartment) {
  ScriptedLogic logic;
  logic.Schedule({{0, &ScriptedLogic::S0}, {1, &ScriptedLogic::S1}, {9, &ScriptedLogic::S9},
                  {3, &ScriptedLogic::S3}, {4, &ScriptedLogic::S4}, {5, &ScriptedLogic::S5},
                  {7, &ScriptedLogic::S7}});
  const std::vector<Report> reports = Run(logic);
  EXPECT_EQ(reports, (std::vector<Report>{{0, 0}, {1, 0}, {9, 0}, {3, 0}, {4, 0}, {5, 0}, {7, 0}}));
  EXPECT_EQ(logic.ran, (std::vector<uint32_t>{0, 1, 9, 3, 4, 5, 7}));
  EXPECT_EQ(logic.apartment, APTTYPE_MTA);
  EXPECT_EQ(logic.StepCount(), 0u);
}

TEST_F(PipelineTest, FirstFailureIsTheLastReportAndLaterStepsNeverRun) {
  struct Case {
    uint32_t failing;
    std::vector<Report> expected;
    std::vector<uint32_t> ran;
  } cases[] = {
      {0, {{0, -1}}, {0}},
      {4, {{0, 0}, {1, 0}, {9, 0}, {4, -1}}, {0, 1, 9, 4}},
      {7, {{0, 0}, {1, 0}, {9, 0}, {4, 0}, {7, -1}}, {0, 1, 9, 4, 7}},
  };
  for (const Case& c : cases) {
    ScriptedLogic logic;
    logic.failing_id = c.failing;
    logic.Schedule({{0, &ScriptedLogic::S0}, {1, &ScriptedLogic::S1}, {9, &ScriptedLogic::S9},
                    {4, &ScriptedLogic::S4}, {7, &ScriptedLogic::S7}});
    EXPECT_EQ(Run(logic), c.expected) << "failing step " << c.failing;
    EXPECT_EQ(logic.ran, c.ran) << "failing step " << c.failing;
    EXPECT_EQ(logic.StepCount(), 0u);
  }
}

// The error a damaged payload gives is one a failing disk gives too: it alone tells nothing
// of the payload.
TEST_F(PipelineTest, AFileCorruptErrorAloneIsNoDamagedPayload) {
  ScriptedLogic logic;
  logic.failing_id = 0;
  logic.failing_error = ERROR_FILE_CORRUPT;
  logic.Schedule({{0, &ScriptedLogic::S0}});
  EXPECT_EQ(Run(logic), (std::vector<Report>{{0, -1}}));
  EXPECT_EQ(logic.FailureError(), static_cast<DWORD>(ERROR_FILE_CORRUPT));
  EXPECT_FALSE(logic.PayloadDamaged());
}

TEST_F(PipelineTest, EmptyScheduleReportsNothing) {
  CSetupLogic logic;
  EXPECT_TRUE(Run(logic).empty());
}

TEST(Pipeline, WorkerRefusesANullLogicObject) {
  EXPECT_EQ(CSetupLogic::RunInstallSteps(nullptr), static_cast<unsigned>(ERROR_INVALID_PARAMETER));
}

// Another install in the same run (a retry after a failure) starts the same file afresh,
// and a name given relative is told whole, since the failure view shows where it is.
TEST(InstallLog, OpenedAgainStartsTheSameFileAfresh) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring name = L"kelo-log-" + std::to_wstring(GetCurrentProcessId()) + L".log";
  const std::wstring path = std::wstring(temp) + name;
  ASSERT_TRUE(SetCurrentDirectoryW(temp));
  std::string text;
  {
    InstallLog log;
    ASSERT_TRUE(log.Open(path));
    log.Line(L"first run");
    ASSERT_TRUE(log.Open(name));
    EXPECT_EQ(log.path(), path);
    log.Line(L"second run");
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    char bytes[4096];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(file.Get(), bytes, sizeof bytes, &got, nullptr));
    text.assign(bytes, got);
  }
  DeleteFileW(path.c_str());
  EXPECT_NE(text.find("second run"), std::string::npos) << text;
  EXPECT_EQ(text.find("first run"), std::string::npos) << text;
}

// A log name that is a hard link of another file is not cut: the log goes to the default
// place instead, and the other file keeps its words.
TEST(InstallLog, NeverCutsAFileAHardLinkShares) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring stem = std::wstring(temp) + L"kelo-linked-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring thesis = stem + L".txt", log_path = stem + L".log";
  {
    ScopedHandle file(CreateFileW(thesis.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.Get(), "thesis", 6, &written, nullptr));
  }
  ASSERT_TRUE(CreateHardLinkW(log_path.c_str(), thesis.c_str(), nullptr)) << GetLastError();
  {
    InstallLog log;
    ASSERT_TRUE(log.Open(log_path));
    log.Line(L"a line");
    EXPECT_EQ(log.path(), DefaultLogPath());
  }
  ScopedHandle file(CreateFileW(thesis.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  char bytes[64];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(file.Get(), bytes, sizeof bytes, &got, nullptr));
  file.Reset();
  DeleteFileW(log_path.c_str());
  DeleteFileW(thesis.c_str());
  EXPECT_EQ(std::string(bytes, got), "thesis");
}

// A log named by a path too long to be looked at on its way (only a "\\?\" path names
// one) is refused before it is opened: no empty file is left where it was named.
TEST(InstallLog, APathTooLongToLookAtIsNeverOpened) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring folder = L"\\\\?\\" + std::wstring(temp) + L"kelo-deep-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  const std::wstring path = folder + L"\\" + std::wstring(250, L'l') + L".log";
  {
    InstallLog log;
    EXPECT_FALSE(log.Open(path, /*fall_back=*/false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  }
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a file was made where the log was named";
  DeleteFileW(path.c_str());
  RemoveDirectoryW(folder.c_str());
}

// The accounts services run as are no person's; a person's, and the groups people are in,
// are not taken for one.
TEST(Account, OnlyTheAccountsServicesRunAsAreTakenForThem) {
  const struct {
    WELL_KNOWN_SID_TYPE type;
    bool service;
  } cases[] = {{WinLocalSystemSid, true},          {WinLocalServiceSid, true}, {WinNetworkServiceSid, true},
               {WinBuiltinAdministratorsSid, false}, {WinBuiltinUsersSid, false}, {WinInteractiveSid, false},
               {WinWorldSid, false}};
  for (const auto& c : cases) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    ASSERT_TRUE(CreateWellKnownSid(c.type, nullptr, sid, &size)) << c.type;
    EXPECT_EQ(IsServiceAccount(sid), c.service) << c.type;
  }
  OwnAccount own;
  ASSERT_NE(own.sid(), nullptr);
  EXPECT_FALSE(IsServiceAccount(own.sid())) << "the account the tests run as";
  EXPECT_FALSE(RunsAsServiceAccount());
}

// A reparse point leads elsewhere only where it names another place (a link, a junction, a
// mount point, or one of a kind not told); a synced folder's placeholder or a deduplicated
// file is the file itself, to be replaced, removed and made writable as ours.
TEST(Paths, OnlyNameSurrogatesAndUntoldReparsePointsLeadElsewhere) {
  const struct {
    DWORD attributes;
    DWORD tag;
    bool elsewhere;
  } cases[] = {{FILE_ATTRIBUTE_NORMAL, 0, false},
               {FILE_ATTRIBUTE_REPARSE_POINT, 0, true},
               {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
               {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT, true},
               {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 0x9000601A, false},  // a synced placeholder
               {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY, 0x9000001A, false},
               {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013, false}};  // a deduplicated file
  for (const auto& c : cases) EXPECT_EQ(LeadsElsewhere(c.attributes, c.tag), c.elsewhere) << std::hex << c.tag;
  const test::ScratchDir dir(L"kelo-link");
  EXPECT_FALSE(IsLink(dir.path(), GetFileAttributesW(dir.path().c_str())));
  EXPECT_TRUE(IsLink(dir.dir() + L"gone", FILE_ATTRIBUTE_REPARSE_POINT)) << "an entry not read was taken for none";
}

TEST(Pipeline, SingletonIsCreatedOnceAndDestroyedOnRequest) {
  CSetupLogic* first = CSetupLogic::GetInstance();
  EXPECT_EQ(CSetupLogic::GetInstance(), first);
  EXPECT_TRUE(first->InstallDir().empty());
  EXPECT_EQ(first->StepCount(), 0u);
  first->SetInstallDir(L"C:\\Games\\Kelo");
  CSetupLogic::DestroyInstance();
  // The next one is new, with nothing of the one destroyed.
  EXPECT_TRUE(CSetupLogic::GetInstance()->InstallDir().empty());
  CSetupLogic::DestroyInstance();
}

}  // namespace
}  // namespace kelo
