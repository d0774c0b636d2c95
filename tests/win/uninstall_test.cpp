// The real uninstaller, run as the uninstall entry runs it: after a whole installation,
// /S must leave the user's profile and HKCU exactly as they were before the install, but
// for the identity (and Data, which it keeps); asked through its dialogs, it keeps Data or
// not as the user says; a running browser does not stop it.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"
#include "setup/install_transaction.h"
#include "setup/ledger.h"
#include "setup/setup_logic.h"
#include "sysreg/shortcuts.h"
#include "sysreg/uninstall_entry.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using Snapshot = std::map<std::wstring, std::string>;

using test::PollFor;

// The copies the uninstaller leaves in the temporary folder to finish its work.
std::vector<DWORD> CleanupCopies() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  std::vector<DWORD> copies;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (std::wstring(entry.szExeFile).rfind(L"KeloUninstall-", 0) == 0) copies.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return copies;
}

bool CleanupCopiesRunning() { return !CleanupCopies().empty(); }

// Whether a copy has begun its work: one made and held suspended has not (the count a
// suspension of its thread finds before it is one or more).
bool ACleanupCopyIsAtWork() {
  const std::vector<DWORD> copies = CleanupCopies();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  bool at_work = false;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (std::find(copies.begin(), copies.end(), entry.th32OwnerProcessID) == copies.end()) continue;
    ScopedHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
    const DWORD before = thread.IsValid() ? SuspendThread(thread.Get()) : 0;
    if (before != static_cast<DWORD>(-1)) ResumeThread(thread.Get());
    at_work = at_work || before == 0;
  }
  CloseHandle(snapshot);
  return at_work;
}

// `path` held as a running program holds its image, which cannot be deleted but can be
// moved.
ScopedHandle HoldImage(const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file.IsValid()) << testing::PrintToString(path);
  ScopedHandle image(CreateFileMappingW(file.Get(), nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr));
  EXPECT_TRUE(image.IsValid()) << GetLastError();
  return image;
}

HWND WaitForQuestion() {
  return test::WaitForWindow(L"#32770", [](const std::wstring& title, HWND) { return title == L"Kelo游戏浏览器卸载"; }, 20000);
}

// A message box's words: its own static's text.
std::wstring BoxWords(HWND box) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);
  return text;
}

void WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string Bytes(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }

// Every value below an HKCU key, by path and name, with its type and data.
void ReadKeys(HKEY parent, const std::wstring& path, Snapshot* out) {
  HKEY key;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  wchar_t name[16384];
  std::vector<BYTE> data(1 << 16);
  for (DWORD i = 0;; ++i) {
    DWORD name_chars = 16384, type = 0, size = static_cast<DWORD>(data.size());
    if (RegEnumValueW(key, i, name, &name_chars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    (*out)[L"HKCU\\" + path + L" : " + name] = std::to_string(type) + ":" + Bytes(data.data(), size);
  }
  (*out)[L"HKCU\\" + path] = "key";
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    DWORD name_chars = 16384;
    if (RegEnumKeyExW(key, i, name, &name_chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(key);
  for (const std::wstring& child : children) ReadKeys(parent, path.empty() ? child : path + L"\\" + child, out);
}

void ReadFiles(const std::wstring& dir, Snapshot* out) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*out)[path + L"\\"] = "folder";
      ReadFiles(path, out);
    } else {
      (*out)[path] = test::ReadFileBytes(path, "<unreadable>");
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// The value of an environment variable of the test's prefix (empty when not set).
std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH] = {};
  GetEnvironmentVariableW(name, value, MAX_PATH);
  return value;
}

// The user's files and registry, but for the temporary folder, which the tests use.
Snapshot UsersWorld() {
  Snapshot world;
  ReadKeys(HKEY_CURRENT_USER, L"", &world);
  ReadFiles(Environment(L"USERPROFILE"), &world);
  const std::wstring temp = test::TempRoot();
  for (auto it = world.begin(); it != world.end();)
    it = it->first.compare(0, temp.size(), temp) == 0 ? world.erase(it) : std::next(it);
  return world;
}

std::string Remaining(const std::wstring& dir) {
  Snapshot left;
  ReadFiles(dir, &left);
  std::string text = "left in the install directory:";
  for (const auto& entry : left) text += " " + testing::PrintToString(entry.first);
  return text;
}

std::string Differences(const Snapshot& before, const Snapshot& after) {
  std::string text;
  for (const auto& [name, value] : before)
    if (!after.count(name) || after.at(name) != value) text += " changed or gone: " + testing::PrintToString(name);
  for (const auto& entry : after)
    if (!before.count(entry.first)) text += " new: " + testing::PrintToString(entry.first);
  return text;
}

// Runs an uninstaller, answering its questions with `answer`, and gives its exit code.
DWORD RunUninstaller(const std::wstring& exe, const std::wstring& arguments,
                     const std::function<void(HANDLE process)>& answer = nullptr) {
  HANDLE process = test::StartProgram(exe, arguments);
  EXPECT_NE(process, nullptr);
  if (!process) return 99;
  if (answer) answer(process);
  const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
  EXPECT_TRUE(ended) << "the uninstaller did not end";
  // Left running, its question would be answered by the next test.
  if (!ended) TerminateProcess(process, 99);
  DWORD code = 99;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

class Uninstaller : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = Environment(L"LOCALAPPDATA") + L"\\Kelo\\KeloBrowser\\";
    // Whatever an earlier test left when it failed part way is not this one's to find.
    RemoveInstallation();
    window_ = CreateWindowExW(0, L"STATIC", L"uninstall", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    DestroyWindow(window_);
    test::EndProcessesNamed(kBrowserExe);
    // An empty folder left by a test would count as the user's to the next one's install.
    RemoveDirectoryW(dir_.c_str());
    RemoveDirectoryW(ProductFolder().c_str());
  }

  // A whole installation as the window starts it, with every option, but for the browser's
  // start.
  void Install() {
    CSetupLogic logic;
    logic.SetInstallDir(dir_.c_str());
    for (StepId id : {kStepExtractPayload, kStepRegisterUninstall, kStepIdentity, kStepShortcuts,
                      kStepAssistShortcut, kStepTaskbarPin})
      ASSERT_TRUE(logic.AddStep(CSetupLogic::kStepTable[id]));
    ASSERT_TRUE(logic.StartWorker(window_));
    ASSERT_TRUE(logic.WaitForWorker(60000, nullptr));
    MSG msg;
    while (PeekMessageW(&msg, window_, WM_SETUP_STEP, WM_SETUP_STEP, PM_REMOVE))
      ASSERT_EQ(msg.lParam, 0) << "step " << msg.wParam << " failed";
    ASSERT_TRUE(test::FileExists(dir_ + kUninstallExe));
  }

  // Runs the installed uninstaller and waits for it and for the copy that finishes its work.
  DWORD Uninstall(const std::wstring& arguments, const std::function<void(HANDLE process)>& answer = nullptr) {
    const DWORD code = RunUninstaller(dir_ + kUninstallExe, arguments, answer);
    EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000)) << "the copy finishing the work still runs";
    WIN32_FIND_DATAW found;
    HANDLE copy = FindFirstFileW((test::TempRoot() + L"KeloUninstall-*.exe").c_str(), &found);
    EXPECT_EQ(copy, INVALID_HANDLE_VALUE) << "the copy in the temporary folder stays";
    if (copy != INVALID_HANDLE_VALUE) FindClose(copy);
    return code;
  }

  // The installation in dir_ gone, with its entry, its shortcuts and any record of a kept
  // Data, whatever state it is in.
  void RemoveInstallation() {
    ASSERT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000)) << "a copy finishing an uninstall still runs";
    {
      test::ComScope com;
      RemoveShortcuts(dir_, GetOsVersionCode());
    }
    test::ForgetInstallation(dir_.substr(0, dir_.size() - 1));
    RemoveDirectoryW(ProductFolder().c_str());  // made by the first install, when empty
  }

  // The folder the install directory lies in, which a first install makes too.
  std::wstring ProductFolder() const { return dir_.substr(0, dir_.rfind(L'\\', dir_.size() - 2)); }

  // The journal of an update ended mid-commit after it replaced the uninstaller.
  void CutAnUpdateShortMidCommit() {
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.new").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.old").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((dir_ + kUninstallExe).c_str(), (dir_ + L"KeloSetup.old\\" + kUninstallExe).c_str(), TRUE));
    Journal journal;
    journal.moves.push_back({JournalMove::kReplace, "KeloUninstall.exe", "KeloSetup.old\\KeloUninstall.exe"});
    WriteText(dir_ + L"KeloSetup.journal", FormatJournal(journal));
  }

  std::wstring dir_;
  HWND window_ = nullptr;
};

// Presses a button of the uninstaller's next message box.
void Answer(int button) {
  HWND box = WaitForQuestion();
  ASSERT_NE(box, nullptr) << "no question was asked";
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  ASSERT_TRUE(PollFor([&] { return !IsWindow(box); }, 20000)) << "the question stays";
}

TEST_F(Uninstaller, SilentUninstallLeavesOnlyTheIdentity) {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelo");
  const Snapshot before = UsersWorld();
  Install();
  // A failed install from the window before this one left its memory of it.
  {
    RegKey memory;
    ASSERT_EQ(memory.Create(kFailureMemoryKey), ERROR_SUCCESS);
    ASSERT_EQ(memory.WriteDword(kFailureMemoryValue, 1), ERROR_SUCCESS);
  }
  // Another installer system's switch asks nothing and does nothing.
  for (const wchar_t* other : {L"/SILENT", L"-S"}) {
    EXPECT_EQ(RunUninstaller(dir_ + kUninstallExe, other), static_cast<DWORD>(kExitUsage)) << other;
    EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe)) << other;
  }
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  ASSERT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  // The identity stays, so that a returning user is not new; nothing else of ours does.
  Snapshot after = UsersWorld();
  const std::wstring identity = std::wstring(L"HKCU\\") + kIdentityKey;
  const std::wstring product = identity.substr(0, identity.rfind(L'\\'));
  for (const std::wstring& kept : {product, identity, identity + L" : " + kIdentityValue}) after.erase(kept);
  EXPECT_EQ(Differences(before, after), "");
  EXPECT_FALSE(test::ReadValue(kIdentityKey, kIdentityValue).Text().empty()) << "the identity went";
}

// A silent uninstall asks nothing and keeps Data, as an unattended one cannot be asked. A
// Data that was in the user's folder before the install is not the install's to delete: a
// user who asked for it gone is told where it stays. A Data file another program holds
// stops the uninstall with the browser still whole, and the user is told which folder.
TEST_F(Uninstaller, AskedFirstAndKeepsDataWhenTheUserSaysSoOrIsNotAsked) {
  const struct {
    const wchar_t* arguments;
    int confirm;
    int keep;
    DWORD code;
    bool installed;
    bool data;
    bool data_first = false;
    bool data_held = false;  // by another program, which shares no deleting
    bool nested = false;     // another installation inside Data, which stays with it
  } cases[] = {{L"", IDNO, 0, kExitCancelled, true, true},
               {L"", IDYES, IDYES, kExitSuccess, false, true},
               {L"", IDYES, IDNO, kExitSuccess, false, false},
               {L"", IDYES, IDNO, kExitSuccess, false, false, false, false, true},
               {L"", IDYES, IDNO, kExitInstallFailed, false, true, true},
               {L"", IDYES, IDNO, kExitInstallFailed, true, true, false, true},
               {L"/S", 0, 0, kExitSuccess, false, true}};
  const std::wstring default_dir = dir_;
  test::ScratchDir users(L"users folder");
  for (const auto& c : cases) {
    dir_ = c.data_first ? users.dir() + L"KeloBrowser\\" : default_dir;
    const std::wstring profile = dir_ + L"Data\\Default\\profile.ini";
    const auto write_profile = [&] {
      CreateDirectoryW(dir_.substr(0, dir_.size() - 1).c_str(), nullptr);
      CreateDirectoryW((dir_ + L"Data").c_str(), nullptr);
      CreateDirectoryW((dir_ + L"Data\\Default").c_str(), nullptr);
      WriteText(profile, "[Profile]");
    };
    if (c.data_first) write_profile();
    Install();
    if (!c.data_first) write_profile();
    const std::wstring nested = dir_ + L"Data\\Game2\\";
    if (c.nested) {
      CreateDirectoryW(nested.substr(0, nested.size() - 1).c_str(), nullptr);
      WriteText(nested + L"KeloSetup.ledger", "another installation's record");
    }
    std::wstring last_box;
    ScopedHandle held;
    if (c.data_held)
      held.Reset(CreateFileW(profile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD code = Uninstall(c.arguments, [&](HANDLE) {
      if (c.confirm) Answer(c.confirm);
      if (c.keep) {
        Answer(c.keep);
        // The copy that finishes the work waits a bounded time for the uninstaller: it
        // must not start while the last box may still stand for long.
        ASSERT_NE(WaitForQuestion(), nullptr);
        EXPECT_FALSE(ACleanupCopyIsAtWork()) << "the finishing copy started under the last box";
        // Nor does the box keep a setup program from running: the lock is free.
        ScopedHandle lock(OpenMutexW(SYNCHRONIZE, FALSE, kSetupMutexName));
        EXPECT_FALSE(lock.IsValid()) << "the last box holds the setup programs' lock";
        last_box = BoxWords(WaitForQuestion());
        Answer(IDOK);
      }
    });
    held.Reset();
    EXPECT_EQ(code, c.code) << "\"" << c.arguments << "\" confirm " << c.confirm << " keep " << c.keep;
    if (c.keep == IDNO) {
      EXPECT_EQ(last_box.find(dir_ + L"Data") != std::wstring::npos, c.data) << testing::PrintToString(last_box);
    }
    EXPECT_EQ(test::FileExists(dir_ + kBrowserExe), c.installed);
    EXPECT_TRUE(PollFor([&] { return test::FileExists(dir_ + kUninstallExe) == c.installed; }, 30000));
    EXPECT_EQ(test::FileExists(profile), c.data);
    EXPECT_EQ(test::FileExists(nested + L"KeloSetup.ledger"), c.nested);
    // Where the profile was kept is remembered for the next install to propose.
    const bool remembered = !c.installed && c.data && c.keep != IDNO;
    EXPECT_EQ(test::ReadValue(kKeptDataKey, kKeptDataValue).present, remembered);
    if (remembered) {
      EXPECT_TRUE(test::HoldsString(kKeptDataKey, kKeptDataValue, dir_));
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataValue);
    test::RemoveTree(dir_.substr(0, dir_.size() - 1));
  }
  dir_ = default_dir;
}

// The questions may stand for long, behind other windows: a setup program started
// meanwhile finds the lock free, and the uninstall, once answered, leaves the installation
// to it rather than remove files it may be writing.
TEST_F(Uninstaller, TheQuestionsHoldNoLockAndASetupProgramStartedMeanwhileWins) {
  Install();
  ScopedHandle setup;
  EXPECT_EQ(Uninstall(L"", [&](HANDLE) {
              ASSERT_NE(WaitForQuestion(), nullptr);
              setup.Reset(CreateMutexW(nullptr, TRUE, kSetupMutexName));
              EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the question holds the lock";
              Answer(IDYES);
              Answer(IDNO);
              Answer(IDOK);  // a setup program is running
            }),
            static_cast<DWORD>(kExitAlreadyRunning));
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  ReleaseMutex(setup.Get());
  RemoveInstallation();
}

// Installed again while the questions stood (the same payload; its identity's step rewrote
// a payload file, so the commit wrote a new ledger), the installation is not the one the
// user said yes to: nothing is touched.
TEST_F(Uninstaller, AnInstallationMadeAgainWhileTheQuestionsStoodIsLeftAlone) {
  Install();
  EXPECT_EQ(Uninstall(L"", [&](HANDLE) {
              ASSERT_NE(WaitForQuestion(), nullptr);
              Install();
              Answer(IDYES);
              Answer(IDNO);
              Answer(IDOK);  // installed again meanwhile
            }),
            static_cast<DWORD>(kExitInstallFailed));
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  EXPECT_TRUE(test::FileExists(dir_ + L"KeloSetup.ledger"));
  std::wstring location;
  EXPECT_EQ(ReadInstallLocation(&location), ERROR_SUCCESS) << "the entry went";
  RemoveInstallation();
}

// Kept Data, installed again, then removed with everything: the folders the first install
// made go too, though the second found them there. (Not in the product's own folder, whose
// levels go anyway.)
TEST_F(Uninstaller, FoldersTheFirstInstallMadeGoAfterDataWasKeptOnce) {
  dir_ = Environment(L"LOCALAPPDATA") + L"\\Games\\KeloBrowser\\";
  for (const int keep : {IDYES, IDNO}) {
    Install();
    CreateDirectoryW((dir_ + L"Data").c_str(), nullptr);
    WriteText(dir_ + L"Data\\profile.ini", "[Profile]");
    EXPECT_EQ(Uninstall(L"", [&](HANDLE) {
                Answer(IDYES);
                Answer(keep);
                Answer(IDOK);
              }),
              static_cast<DWORD>(kExitSuccess));
  }
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(ProductFolder()); }, 30000)) << Remaining(dir_);
}

// The product's own folder, there before the install (an older setup program's
// installation it took over), goes like one the install made.
TEST_F(Uninstaller, TheProductsOwnFolderGoesThoughTheInstallFoundIt) {
  ASSERT_TRUE(CreateDirectoryW(ProductFolder().c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
  WriteText(dir_ + kBrowserExe, "an older setup program's browser");
  Install();
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_FALSE(test::FileExists(ProductFolder())) << Remaining(dir_);
}

// The user moved the installed folder into a folder of theirs: its uninstaller takes the
// entry and the shortcuts, which still name the old place, and leaves that folder (empty
// now) alone, though the install made two levels where it first was.
TEST_F(Uninstaller, AMovedInstallationGoesWholeAndLeavesTheFolderItWasMovedInto) {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelo");
  const std::wstring games = Environment(L"USERPROFILE") + L"\\Games";
  ASSERT_TRUE(CreateDirectoryW(games.c_str(), nullptr));
  const Snapshot before = UsersWorld();
  Install();
  const std::wstring moved = games + L"\\KeloBrowser";
  ASSERT_TRUE(MoveFileW(dir_.substr(0, dir_.size() - 1).c_str(), moved.c_str()));
  ASSERT_TRUE(RemoveDirectoryW(ProductFolder().c_str()));
  EXPECT_EQ(RunUninstaller(moved + L"\\" + kUninstallExe, L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000)) << "the copy finishing the work still runs";
  EXPECT_FALSE(test::FileExists(moved)) << Remaining(moved);
  // The identity stays, so that a returning user is not new; nothing else of ours does.
  Snapshot after = UsersWorld();
  const std::wstring identity = std::wstring(L"HKCU\\") + kIdentityKey;
  const std::wstring product = identity.substr(0, identity.rfind(L'\\'));
  for (const std::wstring& kept : {product, identity, identity + L" : " + kIdentityValue}) after.erase(kept);
  EXPECT_EQ(Differences(before, after), "");
  RemoveDirectoryW(games.c_str());
}

// An entry naming another place whose installation may well be whole (on a USB disk
// unplugged now, or one made by this or an older setup program) belongs to it:
// uninstalling this one leaves it.
TEST_F(Uninstaller, AnEntryNamingAnotherInstallationStays) {
  test::ScratchDir other(L"other installation");
  const struct {
    const char* why;
    std::wstring elsewhere;
    const wchar_t* holds;  // the one file that tells an installation there
  } cases[] = {{"a drive not there now", L"Q:\\Kelo\\KeloBrowser\\", nullptr},
               {"a folder with a ledger", other.dir(), L"KeloSetup.ledger"},
               {"an older setup's folder", other.dir(), kBrowserExe}};
  for (const auto& c : cases) {
    Install();
    if (c.holds) test::WriteFileBytes(c.elsewhere + c.holds, "");
    test::WriteString(kUninstallKey, L"InstallLocation", c.elsewhere);
    EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess)) << c.why;
    std::wstring location;
    EXPECT_EQ(ReadInstallLocation(&location), ERROR_SUCCESS) << c.why << ": the other installation's entry went";
    EXPECT_EQ(location, c.elsewhere) << c.why;
    if (c.holds) DeleteFileW((c.elsewhere + c.holds).c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    EXPECT_FALSE(test::FileExists(dir_)) << c.why << ": " << Remaining(dir_);
  }
}

TEST_F(Uninstaller, WaitsAMomentForASetupProgramAndChangesNothingWhileOneRuns) {
  Install();
  // A setup program holds its single-instance mutex while it may change the installation.
  ScopedHandle setup(CreateMutexW(nullptr, TRUE, kSetupMutexName));
  ASSERT_TRUE(setup.IsValid());
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitAlreadyRunning));
  EXPECT_GE(GetTickCount64() - start, 4500u) << "the lock was not waited for";
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  EXPECT_TRUE(test::FileExists(dir_ + kUninstallExe));
  // One that lets go within moments (the finishing copy of an uninstall a script ran just
  // before) is waited for.
  EXPECT_EQ(Uninstall(L"/S",
                      [&](HANDLE uninstaller) {
                        EXPECT_EQ(WaitForSingleObject(uninstaller, 2000), static_cast<DWORD>(WAIT_TIMEOUT))
                            << "the lock was not waited for";
                        ReleaseMutex(setup.Get());
                      }),
            static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

// An installer at work in the folder from another logon session, which the setup
// programs' lock does not reach, holds the folder: the uninstall changes nothing.
TEST_F(Uninstaller, ChangesNothingInAFolderAnotherInstallerHolds) {
  Install();
  ScopedHandle other(CreateFileW((dir_ + L"KeloSetup.lock").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  ASSERT_TRUE(other.IsValid());
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitAlreadyRunning));
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  EXPECT_TRUE(test::FileExists(dir_ + kUninstallExe));
  other.Reset();
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

// The finishing copy waits for the uninstaller that started it, known by its id and its
// start time: once it has ended, its id may name another program.
TEST_F(Uninstaller, TheFinishingCopyWaitsOnlyForTheUninstallerThatStartedIt) {
  Install();
  test::ScratchDir left(L"cleanup-wait");
  for (const bool same_start : {true, false}) {
    SCOPED_TRACE(same_start ? "the uninstaller" : "another program with its id");
    ScopedHandle running(test::StartProgram(dir_ + kBrowserExe));
    ASSERT_TRUE(running.IsValid());
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(running.Get(), &created, &exited, &kernel, &user));
    const uint64_t start = (uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime) + (same_start ? 0 : 1);
    ScopedHandle copy(test::StartProgram(dir_ + kUninstallExe, L"\"/CLEANUP=" + left.path() + L"\" /WAIT=" +
                                                                  std::to_wstring(GetProcessId(running.Get())) + L":" +
                                                                  std::to_wstring(start) + L" /FOLDERS=0"));
    ASSERT_TRUE(copy.IsValid());
    if (same_start) {
      EXPECT_EQ(WaitForSingleObject(copy.Get(), 2000), static_cast<DWORD>(WAIT_TIMEOUT)) << "it did not wait";
      TerminateProcess(running.Get(), 0);
    }
    // Well within the minute it waits for its uninstaller.
    EXPECT_EQ(WaitForSingleObject(copy.Get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0)) << "it waited for another";
    TerminateProcess(running.Get(), 0);
    WaitForSingleObject(running.Get(), 10000);
  }
  // Nothing of the installation is left for the next test.
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

// A file held by another program stops the uninstall, which says so: the uninstaller must
// then still be there for the user to run again, and that run finishes the job.
TEST_F(Uninstaller, AFailedUninstallLeavesTheUninstallerToRunAgain) {
  Install();
  {
    ScopedHandle held(CreateFileW((dir_ + kBrowserExe).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    ASSERT_TRUE(held.IsValid());
    EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitInstallFailed));
  }
  ASSERT_TRUE(test::FileExists(dir_ + kUninstallExe)) << Remaining(dir_);
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

// Without its copy in the temporary folder (a full disk, an antivirus), a failed uninstall
// still leaves its own file in place to be run again, whichever file another program held.
TEST_F(Uninstaller, AFailedUninstallKeepsItsOwnFileWithoutATemporaryCopy) {
  for (const wchar_t* held_name : {kBrowserExe, L"readme.txt"}) {
    SCOPED_TRACE(testing::Message() << "held " << std::string(held_name, held_name + lstrlenW(held_name)));
    Install();
    wchar_t temp[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"TMP", temp, MAX_PATH));
    {
      ScopedHandle held(CreateFileW((dir_ + held_name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    0, nullptr));
      ASSERT_TRUE(held.IsValid());
      SetEnvironmentVariableW(L"TMP", L"Q:\\no-such-drive");
      const DWORD code = Uninstall(L"/S");
      SetEnvironmentVariableW(L"TMP", temp);
      EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed));
    }
    ASSERT_TRUE(test::FileExists(dir_ + kUninstallExe)) << Remaining(dir_);
    EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
    EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  }
}

// An uninstall whose files went but that left something for the user to see to ends with
// 1, not as a success: the entry in the list of programs, which it could not delete, its
// own file, set aside with no copy in the temporary folder to remove it, or a kept Data
// whose place it could not record outside the folder the next install proposes anyway.
// What goes with the files (the window's memory of a failed install) goes all the same.
TEST_F(Uninstaller, AnUninstallThatLeavesSomethingBehindIsNoSuccess) {
  enum Left { kEntry, kOwnFile, kDataUnrecorded, kDataUnrecordedInTheDefaultFolder };
  const std::wstring default_dir = dir_;
  test::ScratchDir elsewhere(L"kept data");
  for (const Left left : {kEntry, kOwnFile, kDataUnrecorded, kDataUnrecordedInTheDefaultFolder}) {
    SCOPED_TRACE(left == kEntry            ? "entry that cannot be deleted"
                 : left == kOwnFile        ? "no temporary copy"
                 : left == kDataUnrecorded ? "kept Data whose place cannot be recorded"
                                           : "kept Data in the default folder, unrecorded");
    const bool entry_locked = left == kEntry;
    const bool data_kept = left == kDataUnrecorded || left == kDataUnrecordedInTheDefaultFolder;
    dir_ = left == kDataUnrecorded ? elsewhere.dir() + L"KeloBrowser\\" : default_dir;
    Install();
    {
      RegKey memory;
      ASSERT_EQ(memory.Create(kFailureMemoryKey), ERROR_SUCCESS);
      ASSERT_EQ(memory.WriteDword(kFailureMemoryValue, 1), ERROR_SUCCESS);
    }
    wchar_t temp[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"TMP", temp, MAX_PATH));
    // A key inside the entry that nobody may open keeps the entry from being deleted.
    const std::wstring locked_key = std::wstring(kUninstallKey) + L"\\locked";
    std::optional<test::LockedKey> entry;
    std::optional<test::LockedKey> record;  // readable, but no value can be set
    if (entry_locked) {
      entry.emplace(locked_key.c_str(), L"D:");
      ASSERT_TRUE(entry->applied());
    } else if (left == kOwnFile) {
      SetEnvironmentVariableW(L"TMP", L"Q:\\no-such-drive");
    } else {
      test::WriteFileBytes(dir_ + L"Data\\profile.ini", "the user's profile");
      record.emplace(kKeptDataKey, L"D:(A;;KR;;;WD)");
      ASSERT_TRUE(record->applied());
    }
    const DWORD code = RunUninstaller(dir_ + kUninstallExe, L"/S");
    SetEnvironmentVariableW(L"TMP", temp);
    EXPECT_EQ(code, static_cast<DWORD>(left == kDataUnrecordedInTheDefaultFolder ? kExitSuccess : kExitInstallFailed));
    EXPECT_FALSE(test::FileExists(dir_ + kBrowserExe)) << Remaining(dir_);
    EXPECT_FALSE(test::ReadValue(kFailureMemoryKey, kFailureMemoryValue).present);
    if (left == kOwnFile) {
      EXPECT_TRUE(test::FileExists(dir_ + L"KeloSetup.old\\" + kUninstallExe)) << Remaining(dir_);
      test::RemoveTree(dir_.substr(0, dir_.size() - 1));
    }
    if (data_kept) {
      EXPECT_TRUE(test::FileExists(dir_ + L"Data\\profile.ini")) << Remaining(dir_);
      record.reset();
      test::RemoveTree(dir_.substr(0, dir_.size() - 1));
    }
    entry.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    EXPECT_TRUE(PollFor([&] { return !CleanupCopiesRunning() && !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  }
  dir_ = default_dir;
}

// An uninstaller ended under its last box (by a task manager, a deployment tool's time
// limit) takes its finishing copy, held until then, with it.
TEST_F(Uninstaller, AnUninstallerEndedUnderItsLastBoxLeavesNoCopyHeld) {
  Install();
  RunUninstaller(dir_ + kUninstallExe, L"", [&](HANDLE process) {
    Answer(IDYES);
    Answer(IDNO);
    ASSERT_NE(WaitForQuestion(), nullptr);
    ASSERT_TRUE(CleanupCopiesRunning()) << "no copy held under the last box";
    TerminateProcess(process, 1);
  });
  EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 15000)) << "the copy stays, held";
  test::RemoveTree(dir_.substr(0, dir_.size() - 1));
}

// The copy in the temporary folder takes a name no file has: an earlier uninstaller's copy
// named after the id this one has now may still run there.
TEST_F(Uninstaller, TheFinishingCopyTakesANameNoFileHas) {
  Install();
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(test::CreateProcessPatiently(dir_ + kUninstallExe, L"\"" + dir_ + kUninstallExe + L"\" /S",
                                           CREATE_SUSPENDED, &info));
  ScopedHandle process(info.hProcess), thread(info.hThread);
  const std::wstring taken = test::TempRoot() + L"KeloUninstall-" + std::to_wstring(info.dwProcessId) + L".exe";
  {
    // Held as a running program's file is: not to be written, nor deleted.
    ScopedHandle earlier(CreateFileW(taken.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(earlier.IsValid());
    ResumeThread(thread.Get());
    ASSERT_EQ(WaitForSingleObject(process.Get(), 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, static_cast<DWORD>(kExitSuccess));
  }
  EXPECT_TRUE(PollFor([&] { return !CleanupCopiesRunning() && !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  EXPECT_TRUE(DeleteFileW(taken.c_str()));
}

// Run by a script runner that ends whatever is left in its job when it closes it, the copy
// finishing the work has left that job, where the job allows, and finishes all the same.
TEST_F(Uninstaller, TheFinishingCopyLeavesAJobThatWouldEndIt) {
  Install();
  // Held, the browser's file keeps the copy at its work until the runner has closed its job.
  ScopedHandle image = HoldImage(dir_ + kBrowserExe);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(test::CreateProcessPatiently(dir_ + kUninstallExe, L"\"" + dir_ + kUninstallExe + L"\" /S",
                                           CREATE_SUSPENDED, &info));
  ScopedHandle process(info.hProcess), thread(info.hThread);
  ScopedHandle runner(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  ASSERT_TRUE(SetInformationJobObject(runner.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)));
  ASSERT_TRUE(AssignProcessToJobObject(runner.Get(), process.Get()));
  ResumeThread(thread.Get());
  ASSERT_EQ(WaitForSingleObject(process.Get(), 60000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.Get(), &code);
  EXPECT_EQ(code, static_cast<DWORD>(kExitSuccess));
  runner.Reset();
  image.Reset();
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000));
}

// A script reading the uninstaller's output sees its end when the uninstaller ends, not once
// the copy finishing its work has: whether the pipe came as the standard output or as any
// other handle the uninstaller inherited (from a shell between them, say).
TEST_F(Uninstaller, AScriptReadingItsOutputIsNotHeldByTheFinishingCopy) {
  for (const bool as_output : {true, false}) {
    SCOPED_TRACE(as_output ? "standard output" : "inherited handle");
    Install();
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, &inheritable, 0));
    ScopedHandle reader(read);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (as_output) {
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = startup.hStdError = write;
    }
    PROCESS_INFORMATION info = {};
    std::wstring command = L"\"" + dir_ + kUninstallExe + L"\" /S";
    const BOOL started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(write);
    ASSERT_TRUE(started);
    CloseHandle(info.hThread);
    ScopedHandle uninstaller(info.hProcess);
    ASSERT_EQ(WaitForSingleObject(uninstaller.Get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD available = 0;
    EXPECT_FALSE(PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) << "another program holds the pipe";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000)) << "the copy finishing the work still runs";
    EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  }
}

// A first install cut short mid-commit (the journal names every file it moved in, no ledger
// yet): the uninstaller's recovery rolls it back, its own running file into staging, and that
// counts as done. Before, it failed and put a copy of itself back in a folder that held no
// installation any more, which every later run then refused. Where another program holds a
// file the rollback must move, the uninstall fails, its copy is put back to be run again, and
// that run, the file let go, leaves nothing behind, its own file neither. Let go while the
// failure is told, the finishing copy completes the rollback, and takes the copy put back
// with it, once that has stopped running (a retry started from it): left, it would refuse
// every run. A file of the user's that the commit set aside at the uninstaller's name comes
// back and stays.
TEST_F(Uninstaller, FinishesAFirstInstallCutShortMidCommit) {
  enum Case { kNothingHeld, kBrowserHeld, kBrowserLetGoUnderTheBox, kUsersFileKept };
  for (const Case c : {kNothingHeld, kBrowserHeld, kBrowserLetGoUnderTheBox, kUsersFileKept}) {
    SCOPED_TRACE(c == kNothingHeld                ? "nothing held"
                 : c == kBrowserHeld              ? "the browser held"
                 : c == kBrowserLetGoUnderTheBox ? "the browser let go under the last box"
                                                  : "a user's file kept");
    Install();
    ASSERT_TRUE(DeleteFileW((dir_ + L"KeloSetup.ledger").c_str()));
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.new").c_str(), nullptr));
    Journal journal;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir_ + L"*").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L".." && name.rfind(L"KeloSetup.", 0) != 0)
        journal.moves.push_back({JournalMove::kAdd, std::string(name.begin(), name.end()), ""});
    } while (FindNextFileW(find, &found));
    FindClose(find);
    const std::string users_file = "the user's own program";
    if (c == kUsersFileKept) {
      ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.kept").c_str(), nullptr));
      test::WriteFileBytes(dir_ + L"KeloSetup.kept\\" + kUninstallExe, users_file);
      for (JournalMove& move : journal.moves)
        if (move.name == "KeloUninstall.exe") move = {JournalMove::kKeep, move.name, "KeloSetup.kept\\KeloUninstall.exe"};
    }
    WriteText(dir_ + L"KeloSetup.journal", FormatJournal(journal));
    if (c == kBrowserHeld) {
      ScopedHandle browser(
          CreateFileW((dir_ + kBrowserExe).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(browser.IsValid());
      EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitInstallFailed));
      EXPECT_TRUE(test::FileExists(dir_ + kUninstallExe)) << Remaining(dir_);
    }
    if (c == kBrowserLetGoUnderTheBox) {
      ScopedHandle browser(
          CreateFileW((dir_ + kBrowserExe).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(browser.IsValid());
      EXPECT_EQ(Uninstall(L"",
                          [&](HANDLE) {
                            Answer(IDYES);
                            Answer(IDYES);
                            ASSERT_NE(WaitForQuestion(), nullptr);
                            ScopedHandle retry = HoldImage(dir_ + kUninstallExe);
                            browser.Reset();
                            Answer(IDOK);
                            // Held through the copy's first try, which settles the rollback.
                            ASSERT_TRUE(PollFor([&] { return !test::FileExists(dir_ + L"KeloSetup.journal"); }, 30000));
                            ScopedHandle lock(CreateMutexW(nullptr, FALSE, kSetupMutexName));
                            ASSERT_NE(WaitForSingleObject(lock.Get(), 30000), static_cast<DWORD>(WAIT_TIMEOUT));
                            EXPECT_TRUE(test::FileExists(dir_ + kUninstallExe)) << "a running file went";
                            retry.Reset();
                            ReleaseMutex(lock.Get());
                          }),
                static_cast<DWORD>(kExitInstallFailed));
    } else {
      EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
    }
    EXPECT_FALSE(test::FileExists(dir_ + kBrowserExe)) << Remaining(dir_);
    if (c == kUsersFileKept) {
      EXPECT_EQ(test::ReadFileBytes(dir_ + kUninstallExe), users_file) << Remaining(dir_);
    } else {
      EXPECT_FALSE(test::FileExists(dir_ + kUninstallExe)) << Remaining(dir_);
    }
    for (const wchar_t* ours : {L"KeloSetup.new", L"KeloSetup.old", L"KeloSetup.kept"})
      EXPECT_FALSE(test::FileExists(dir_ + ours)) << Remaining(dir_);
    // The rollback took the record of the folders the install made: they go all the same.
    if (c != kUsersFileKept) {
      EXPECT_FALSE(test::FileExists(ProductFolder())) << Remaining(dir_);
    }
    test::RemoveTree(dir_.substr(0, dir_.size() - 1));
  }
}

// An update cut short mid-commit after it replaced the uninstaller: the rollback takes the
// running one into staging and puts the earlier one back, and the earlier installation
// goes at the first try, staging with it.
TEST_F(Uninstaller, RemovesAnInstallationWhoseUpdateWasCutShortMidCommit) {
  Install();
  CutAnUpdateShortMidCommit();
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_FALSE(test::FileExists(dir_ + kBrowserExe));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  std::wstring location;
  EXPECT_NE(ReadInstallLocation(&location), ERROR_SUCCESS) << "the entry stays";
}

// Without its finishing copy, the uninstaller names the folder its own file is left in for
// the user to delete: the one of copies aside, or staging, where the rollback of an update
// cut short took it.
TEST_F(Uninstaller, WithoutItsCopyItNamesTheFolderItsOwnFileIsLeftIn) {
  for (const bool cut_short : {false, true}) {
    SCOPED_TRACE(cut_short ? "update cut short" : "whole installation");
    Install();
    if (cut_short) CutAnUpdateShortMidCommit();
    wchar_t temp[MAX_PATH] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"TMP", temp, MAX_PATH));
    SetEnvironmentVariableW(L"TMP", L"Q:\\no-such-drive");
    std::wstring said;
    const DWORD code = RunUninstaller(dir_ + kUninstallExe, L"", [&](HANDLE) {
      Answer(IDYES);
      Answer(IDYES);
      HWND box = WaitForQuestion();
      ASSERT_NE(box, nullptr);
      said = BoxWords(box);
      Answer(IDOK);
    });
    SetEnvironmentVariableW(L"TMP", temp);
    EXPECT_EQ(code, static_cast<DWORD>(kExitInstallFailed));
    const std::wstring folder = dir_ + (cut_short ? L"KeloSetup.new" : L"KeloSetup.old");
    EXPECT_TRUE(test::FileExists(folder + L"\\" + kUninstallExe)) << Remaining(dir_);
    EXPECT_EQ(said.substr(said.size() - std::min(said.size(), folder.size())), folder) << testing::PrintToString(said);
    RemoveInstallation();
  }
}

// An older setup program's installation that an install of ours was taking over when it
// was cut short comes back whole by the rollback: the uninstaller then removed nothing, and
// says so, leaving that installation's entry and shortcuts.
TEST_F(Uninstaller, ATakeOverCutShortIsRolledBackNotReportedUninstalled) {
  Install();
  ASSERT_TRUE(DeleteFileW((dir_ + L"KeloSetup.ledger").c_str()));
  ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.new").c_str(), nullptr));
  Journal journal;
  journal.moves.push_back({JournalMove::kAdd, "KeloUninstall.exe", ""});
  WriteText(dir_ + L"KeloSetup.journal", FormatJournal(journal));
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitInstallFailed));
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  std::wstring location;
  EXPECT_EQ(ReadInstallLocation(&location), ERROR_SUCCESS) << "the older installation's entry went";
  // Nothing of it is left for the next test.
  RemoveInstallation();
}

// Read-only files go like any other: the installation's own, and the profile's when the user
// does not keep Data.
TEST_F(Uninstaller, RemovesReadOnlyFiles) {
  Install();
  const std::wstring profile = dir_ + L"Data\\Default\\profile.ini";
  CreateDirectoryW((dir_ + L"Data").c_str(), nullptr);
  CreateDirectoryW((dir_ + L"Data\\Default").c_str(), nullptr);
  WriteText(profile, "[Profile]");
  for (const std::wstring& file : {dir_ + kBrowserExe, profile})
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Uninstall(L"", [](HANDLE) {
              Answer(IDYES);
              Answer(IDNO);
              Answer(IDOK);
            }),
            static_cast<DWORD>(kExitSuccess));
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

// A read-only shortcut goes like the rest; one another program holds stays, and the run,
// whose files and entry are gone, says so rather than succeeding.
TEST_F(Uninstaller, ShortcutsGoWhenReadOnlyAndAHeldOneFailsTheRun) {
  wchar_t desktop[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, desktop), S_OK);
  const std::wstring link = std::wstring(desktop) + L"\\" + kAssistShortcutName;
  // Held shared for reading, the shortcut is known for ours; shared with nobody, it cannot
  // be read, and may be.
  const struct {
    const char* what;
    bool held;
    DWORD sharing;
  } cases[] = {{"read-only", false, 0}, {"held", true, FILE_SHARE_READ}, {"held shared with nobody", true, 0}};
  for (const auto& [what, held, sharing] : cases) {
    SCOPED_TRACE(what);
    Install();
    ASSERT_TRUE(test::FileExists(link));
    ASSERT_TRUE(SetFileAttributesW(link.c_str(), FILE_ATTRIBUTE_READONLY));
    {
      ScopedHandle holder(held ? CreateFileW(link.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr)
                               : INVALID_HANDLE_VALUE);
      ASSERT_EQ(holder.IsValid(), held);
      EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(held ? kExitInstallFailed : kExitSuccess));
    }
    EXPECT_EQ(test::FileExists(link), held);
    std::wstring location;
    EXPECT_EQ(ReadInstallLocation(&location), ERROR_FILE_NOT_FOUND) << "the entry stays";
    EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
    SetFileAttributesW(link.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(link.c_str());
  }
}

// A copy of the uninstaller run from another folder (beside a browser the user runs from
// there) finds no installation: it says so, fails, and changes nothing, there or in the
// registered installation.
TEST_F(Uninstaller, RunOutsideAnInstallationChangesNothing) {
  Install();
  test::ScratchDir elsewhere(L"kelo elsewhere");
  test::CopyFileOrFail(dir_ + kUninstallExe, elsewhere.dir() + kUninstallExe);
  test::CopyFileOrFail(dir_ + kBrowserExe, elsewhere.dir() + kBrowserExe);
  HANDLE browser = test::StartProgram(elsewhere.dir() + kBrowserExe);
  ASSERT_NE(browser, nullptr);
  ASSERT_EQ(WaitForInputIdle(browser, 15000), 0u);
  EXPECT_EQ(RunUninstaller(elsewhere.dir() + kUninstallExe, L"/S"), static_cast<DWORD>(kExitInstallFailed));
  EXPECT_EQ(WaitForSingleObject(browser, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the user's browser was ended";
  TerminateProcess(browser, 0);
  WaitForSingleObject(browser, 10000);
  CloseHandle(browser);
  EXPECT_TRUE(test::FileExists(elsewhere.dir() + kBrowserExe));
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  std::wstring location;
  EXPECT_EQ(ReadInstallLocation(&location), ERROR_SUCCESS) << "the registered installation lost its entry";
  // The registered one still uninstalls.
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
}

// A file another program still holds (here mapped as a program's image, which may be
// renamed but not deleted) goes aside; once it is let go, the finishing copy takes it, and
// the folder, away.
TEST_F(Uninstaller, FilesStillHeldGoOnceLetGo) {
  Install();
  // One is in staging, as the uninstaller's own file is after a rollback took it there.
  ASSERT_TRUE(CreateDirectoryW((dir_ + L"KeloSetup.new").c_str(), nullptr));
  test::CopyFileOrFail(dir_ + kBrowserExe, dir_ + L"KeloSetup.new\\" + kBrowserExe);
  ScopedHandle staged = HoldImage(dir_ + L"KeloSetup.new\\" + kBrowserExe);
  ScopedHandle image = HoldImage(dir_ + kBrowserExe);
  // A file of the user's, there during the uninstall and gone before the last try, leaves
  // nothing that keeps the folder.
  const std::wstring notes = dir_ + L"notes.txt";
  test::WriteFileBytes(notes, "the user's notes");
  EXPECT_EQ(RunUninstaller(dir_ + kUninstallExe, L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_FALSE(test::FileExists(dir_ + kBrowserExe));
  ASSERT_TRUE(test::FileExists(dir_ + L"KeloSetup.old\\" + kBrowserExe)) << Remaining(dir_);
  // The finishing copy has had its first try once the uninstaller's own file is gone.
  ASSERT_TRUE(PollFor([&] { return !test::FileExists(dir_ + L"KeloSetup.old\\" + kUninstallExe); }, 30000))
      << Remaining(dir_);
  // Between its tries it holds neither the lock nor the folder: a setup program started
  // now would run. (The folder is looked at first: the next try takes the lock first.)
  EXPECT_TRUE(PollFor(
      [&] {
        return !test::FileExists(dir_ + L"KeloSetup.lock") &&
               ScopedHandle(OpenMutexW(SYNCHRONIZE, FALSE, kSetupMutexName)).Get() == nullptr;
      },
      10000))
      << "the finishing copy keeps the setup programs' lock or the folder between its tries";
  EXPECT_TRUE(test::FileExists(notes));
  DeleteFileW(notes.c_str());
  image.Reset();
  staged.Reset();
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
  EXPECT_TRUE(PollFor([] { return !CleanupCopiesRunning(); }, 30000));
}

// A box that ends a run which changed nothing stands with nothing held: the user, told to
// run it again or to close a setup program, can, while the box still stands.
TEST_F(Uninstaller, ABoxEndingTheRunHoldsNoLock) {
  Install();
  test::ScratchDir elsewhere(L"kelo elsewhere");
  test::CopyFileOrFail(dir_ + kUninstallExe, elsewhere.dir() + kUninstallExe);
  const std::wstring ledger = dir_ + L"KeloSetup.ledger";
  const std::string whole = test::ReadFileBytes(ledger);
  ScopedHandle setup, other_hold;
  const struct {
    const char* why;
    std::function<void()> arrange;
    std::wstring uninstaller;
    int questions;  // answered yes before the last box
    DWORD code;
    const wchar_t* says;
  } cases[] = {
      {"a setup program runs", [&] { setup.Reset(CreateMutexW(nullptr, TRUE, kSetupMutexName)); },
       dir_ + kUninstallExe, 0, kExitAlreadyRunning, L"安装程序正在运行"},
      {"no installation here", [] {}, elsewhere.dir() + kUninstallExe, 0, kExitInstallFailed,
       L"没有Kelo游戏浏览器的安装"},
      {"a damaged record", [&] { test::WriteFileBytes(ledger, whole.substr(0, whole.size() / 2)); },
       dir_ + kUninstallExe, 0, kExitInstallFailed, L"安装记录已损坏"},
      // Nothing is removed and no browser is ended: closing it is no advice.
      {"a record another program holds",
       [&] {
         other_hold.Reset(CreateFileW(ledger.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
       },
       dir_ + kUninstallExe, 0, kExitInstallFailed, L"未删除任何文件。请稍后重新运行卸载程序。错误代码：32"},
      // A folder where the folder's hold goes is refused, whatever planted it.
      {"a folder at the hold's name", [&] { CreateDirectoryW((dir_ + L"KeloSetup.lock").c_str(), nullptr); },
       dir_ + kUninstallExe, 2, kExitInstallFailed, L"未删除任何文件。请稍后重新运行卸载程序。错误代码：1920"},
      {"an installer holds the folder",
       [&] {
         other_hold.Reset(CreateFileW((dir_ + L"KeloSetup.lock").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr));
       },
       dir_ + kUninstallExe, 2, kExitAlreadyRunning, L"安装程序正在运行"},
  };
  for (const auto& c : cases) {
    c.arrange();
    const DWORD code = RunUninstaller(c.uninstaller, L"", [&](HANDLE) {
      for (int i = 0; i < c.questions; ++i) Answer(IDYES);
      ASSERT_NE(WaitForQuestion(), nullptr) << c.why;
      // What the test itself held goes; the uninstaller must hold nothing by now.
      ReleaseMutex(setup.Get());
      setup.Reset();
      EXPECT_FALSE(ScopedHandle(OpenMutexW(SYNCHRONIZE, FALSE, kSetupMutexName)).IsValid())
          << c.why << ": the box holds the setup programs' lock";
      const std::wstring box = BoxWords(WaitForQuestion());
      EXPECT_NE(box.find(c.says), std::wstring::npos) << c.why << ": " << testing::PrintToString(box);
      Answer(IDOK);
    });
    EXPECT_EQ(code, c.code) << c.why;
    other_hold.Reset();
    RemoveDirectoryW((dir_ + L"KeloSetup.lock").c_str());
    test::WriteFileBytes(ledger, whole);
  }
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
}

// A record it cannot read removes nothing, and the browser running from the installation
// is not ended for it.
TEST_F(Uninstaller, ADamagedRecordEndsNothingAndRemovesNothing) {
  Install();
  const std::wstring ledger = dir_ + L"KeloSetup.ledger";
  const std::string whole = test::ReadFileBytes(ledger);
  ASSERT_FALSE(whole.empty());
  test::WriteFileBytes(ledger, whole.substr(0, whole.size() / 2));
  HANDLE browser = test::StartProgram(dir_ + kBrowserExe);
  ASSERT_NE(browser, nullptr);
  ASSERT_NE(test::WaitForWindow(L"KeloDemoBrowser", [](const std::wstring&, HWND) { return true; }, 20000), nullptr);
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitInstallFailed));
  EXPECT_EQ(WaitForSingleObject(browser, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the browser was ended";
  CloseHandle(browser);
  test::EndProcessesNamed(kBrowserExe);
  EXPECT_TRUE(test::FileExists(dir_ + kBrowserExe));
  std::wstring location;
  EXPECT_EQ(ReadInstallLocation(&location), ERROR_SUCCESS) << "the entry went";
  // Whole again, it uninstalls, leaving nothing for the next test.
  test::WriteFileBytes(ledger, whole);
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
}

TEST_F(Uninstaller, StopsTheRunningBrowserOfTheInstallation) {
  Install();
  HANDLE browser = test::StartProgram(dir_ + kBrowserExe);
  ASSERT_NE(browser, nullptr);
  ASSERT_NE(test::WaitForWindow(L"KeloDemoBrowser", [](const std::wstring&, HWND) { return true; }, 20000), nullptr);
  EXPECT_EQ(Uninstall(L"/S"), static_cast<DWORD>(kExitSuccess));
  EXPECT_EQ(WaitForSingleObject(browser, 10000), WAIT_OBJECT_0) << "the browser still runs";
  CloseHandle(browser);
  EXPECT_TRUE(PollFor([&] { return !test::FileExists(dir_); }, 30000)) << Remaining(dir_);
}

}  // namespace
}  // namespace kelo
