// Install step 0 on real directories: what a new install, a re-install over an earlier one
// and installs into folders holding the user's files leave on disk, and how each fault ends
// the step with the earlier installation as it was.
// The program carries the demo packet as its FILE 143, as the installer does; other packets
// go into a copy of it whose resource is replaced.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "base/utf8.h"
#include "packtool/packet_writer.h"
#include "setup/extract_payload.h"
#include "setup/install_fs_win.h"
#include "setup/install_log.h"
#include "setup/install_transaction.h"
#include "setup/ledger.h"
#include "setup/sha256.h"
#include "setup/setup_logic.h"
#include "sysreg/uninstall_entry.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::FileExists;
using test::HostPath;
using test::RemoveTree;

using Files = std::map<std::wstring, std::string>;  // relative path -> content

std::string Narrow(const std::wstring& text) { return testing::PrintToString(text); }

void WriteBytes(const std::wstring& path, const std::string& bytes) { test::WriteFileBytes(path, bytes); }

std::string ReadBytes(const std::wstring& path) { return test::ReadFileBytes(path, "<missing>"); }

// Every file below `dir` (no final separator), by path relative to it.
Files ListFiles(const std::wstring& dir, const std::wstring& prefix = L"") {
  Files files;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        files.merge(ListFiles(dir + L"\\" + name, prefix + name + L"\\"));
    } else {
      files[prefix + name] = ReadBytes(dir + L"\\" + name);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return files;
}

// Names only in one side and files whose bytes differ, named, rather than 200 KB of diff.
void ExpectFiles(const Files& actual, const Files& expected) {
  for (const auto& [name, bytes] : expected) {
    const auto it = actual.find(name);
    if (it == actual.end()) {
      ADD_FAILURE() << "missing " << Narrow(name);
      continue;
    }
    EXPECT_TRUE(it->second == bytes) << Narrow(name) << ": " << it->second.size() << " bytes, expected "
                                     << bytes.size();
  }
  for (const auto& entry : actual)
    if (!expected.count(entry.first)) ADD_FAILURE() << "unexpected " << Narrow(entry.first);
}

const Files& StagedPayload() {
  static const Files files = ListFiles(HostPath(KELO_PAYLOAD_STAGE));
  return files;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed + (i >> 9)) & 0xFF);
  return bytes;
}

std::vector<uint8_t> MakePacket(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<ArchiveEntry> entries;
  for (const auto& [name, bytes] : files) entries.push_back({name, std::vector<uint8_t>(bytes.begin(), bytes.end())});
  PacketOptions options;
  options.dictionary_size = 1u << 20;
  options.level = 1;
  std::vector<uint8_t> packet;
  EXPECT_TRUE(CompressPacket(BuildArchive(entries), options, &packet));
  return packet;
}

// The demo payload with some files changed, one left out and one added.
// The next version: one file gone, one added, the main program and the channel file
// changed (bytes after the end of a program's image leave it runnable).
Files ChangedDemoFiles() {
  Files files = StagedPayload();
  files.erase(L"readme.txt");
  files[L"KeloS.ini"] += "; changed\r\n";
  files[L"KeloBrowser.exe"] += "next version";
  files[L"Lib\\added.dll"] = "added by the next version";
  return files;
}

std::vector<uint8_t> ChangedDemoPacket() {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& [name, bytes] : ChangedDemoFiles()) files.emplace_back(std::string(name.begin(), name.end()), bytes);
  return MakePacket(files);
}

// The files an install leaves besides the payload.
Files WithLedger(Files files, const std::wstring& dir) {
  files[L"KeloSetup.ledger"] = ReadBytes(dir + L"\\KeloSetup.ledger");
  return files;
}

Files Merged(Files files, const Files& more) {
  for (const auto& entry : more) files[entry.first] = entry.second;
  return files;
}

std::vector<uint8_t> DemoPacket() {
  const HMODULE self = GetModuleHandleW(nullptr);
  const HRSRC resource = FindResourceW(self, MAKEINTRESOURCEW(kPacketResourceId), kPacketResourceType);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(self, resource)));
  return std::vector<uint8_t>(bytes, bytes + SizeofResource(self, resource));
}

// While it lives, ModuleInstance() is a copy of this program whose FILE 143 is `packet`
// (no resource at all when it is empty).
class PacketModule {
 public:
  // The packet with the digest the build stores beside it, or damaged after the build: a
  // byte of the packet or of the digest changed, or the digest gone.
  enum class Digest { kStored, kPacketChanged, kChanged, kMissing };
  explicit PacketModule(const std::vector<uint8_t>& packet, Digest digest = Digest::kStored) : digest_(digest) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"packet-module-" + std::to_wstring(++count_) + L".dll";
    EXPECT_TRUE(CopyFileW(self, path_.c_str(), FALSE));
    HANDLE update = BeginUpdateResourceW(path_.c_str(), TRUE);
    EXPECT_NE(update, nullptr);
    if (!packet.empty()) {
      uint8_t digest[kSha256Size];
      Sha256(packet.data(), packet.size(), digest);
      std::vector<uint8_t> carried = packet;
      if (digest_ == Digest::kPacketChanged) carried[carried.size() / 2] ^= 0x01;
      EXPECT_TRUE(UpdateResourceW(update, kPacketResourceType, MAKEINTRESOURCEW(kPacketResourceId),
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), carried.data(),
                                  static_cast<DWORD>(carried.size())));
      if (digest_ == Digest::kChanged) digest[7] ^= 1;
      if (digest_ != Digest::kMissing) {
        EXPECT_TRUE(UpdateResourceW(update, kPacketResourceType, MAKEINTRESOURCEW(kPacketDigestResourceId),
                                    MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), digest, sizeof digest));
      }
    }
    EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
    module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EXPECT_NE(module_, nullptr);
    SetModuleInstance(module_);
  }
  ~PacketModule() {
    SetModuleInstance(nullptr);
    FreeLibrary(module_);
    DeleteFileW(path_.c_str());
  }

 private:
  static inline int count_ = 0;
  Digest digest_;
  std::wstring path_;
  HMODULE module_ = nullptr;
};

struct StepResult {
  int result;
  DWORD error;
  bool damaged;  // the failure is the payload's, which did not pass its check
  std::string why;  // the failure's words for the log
};

// As the install's step runs it, on the directory as the installer holds it.
StepResult RunStep(const std::wstring& dir) {
  CSetupLogic logic;
  logic.SetInstallDir(dir.c_str());
  SetLastError(0);
  bool damaged = false;
  std::wstring why;
  const int result = ExtractPayload(logic.InstallDir(), nullptr, &damaged, nullptr, &why) ? 1 : 0;
  const DWORD error = GetLastError();
  return {result, error, damaged, Utf8(why.data(), why.size())};
}

class ExtractPayload : public ::testing::Test {
 protected:
  void SetUp() override {
    static int count = 0;
    root_ = L"C:\\extract-test-" + std::to_wstring(++count);
    RemoveTree(root_);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RemoveTree(root_);
  }

  // An earlier installation by an older setup program (no ledger): the old main program
  // plus `extra` files.
  std::wstring EarlierInstall(const std::wstring& name, const Files& extra) {
    const std::wstring dir = root_ + L"\\" + name;
    WriteBytes(dir + L"\\KeloBrowser.exe", "old main program");
    for (const auto& [file, bytes] : extra) WriteBytes(dir + L"\\" + file, bytes);
    return dir;
  }

  std::wstring root_;
};

TEST_F(ExtractPayload, PipelineInstallsEveryFileIntoANewDeepDirectory) {
  const std::wstring dir = root_ + L"\\one\\two\\three\\KeloBrowser";
  HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  CSetupLogic logic;
  logic.SetInstallDir(dir.c_str());
  ASSERT_TRUE(logic.AddStep(CSetupLogic::kStepTable[kStepExtractPayload]));
  ASSERT_TRUE(logic.StartWorker(window));
  ASSERT_TRUE(logic.WaitForWorker(60000, nullptr));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, window, WM_SETUP_STEP, WM_SETUP_STEP, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 0) << "step 0 failed";
  DestroyWindow(window);
  // Byte for byte the staged payload and the ledger of it, nothing else.
  ExpectFiles(ListFiles(dir), WithLedger(StagedPayload(), dir));
}

// The ledger counts the folder levels the install made, for the uninstaller to remove: a
// "." or ".." typed in the directory makes none.
TEST_F(ExtractPayload, TheLedgerCountsOnlyTheFoldersTheInstallMade) {
  for (const wchar_t* typed : {L"\\new\\made\\.", L"\\new\\.\\made", L"\\new\\x\\..\\made\\"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(typed)));
    ASSERT_EQ(RunStep(root_ + typed).result, 1);
    Win32InstallFs fs(root_ + L"\\new\\made");
    Ledger ledger;
    ASSERT_TRUE(ReadLedger(&fs, &ledger).ok());
    EXPECT_EQ(ledger.made_levels, 2u);
    RemoveTree(root_ + L"\\new");
  }
  // Where an uninstall kept Data, the count it remembered stands, unless no ledger can hold
  // it: the installation would be unreadable for good.
  const struct {
    uint32_t remembered, recorded;
  } kept_cases[] = {{3, 3}, {kMaxMadeLevels, kMaxMadeLevels}, {kMaxMadeLevels + 1, 0}, {0xFFFFFFFF, 0}};
  for (const auto& c : kept_cases) {
    const std::wstring dir = root_ + L"\\kept" + std::to_wstring(c.remembered);
    ASSERT_TRUE(SHCreateDirectoryExW(nullptr, (dir + L"\\Data").c_str(), nullptr) == ERROR_SUCCESS);
    ASSERT_TRUE(RememberKeptData(dir + L"\\", c.remembered));
    ASSERT_EQ(RunStep(dir).result, 1) << c.remembered;
    Win32InstallFs fs(dir);
    Ledger ledger;
    ASSERT_TRUE(ReadLedger(&fs, &ledger).ok()) << c.remembered;
    EXPECT_EQ(ledger.made_levels, c.recorded);
  }
  for (const wchar_t* value : {kKeptDataValue, kKeptDataLevelsValue}) RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, value);
}

TEST_F(ExtractPayload, ReinstallReplacesOnlyItsOwnFilesAndKeepsEveryDataFolder) {
  const std::wstring dir = root_ + L"\\again";
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  // The user's files, among ours and in folders named like Data in any case.
  const Files users = {{L"DATA\\Profile\\user.ini", "[User]\r\nName=me\r\n"},
                       {L"DATA\\cookies.db", "x"},
                       {L"Skin\\Data\\mine.png", "the user's own"},
                       {L"Lib\\plugin-of-mine.dll", "beside ours"}};
  for (const auto& [file, bytes] : users) WriteBytes(dir + L"\\" + file, bytes);
  PacketModule module(ChangedDemoPacket());
  const StepResult step = RunStep(dir + L"\\");
  ASSERT_EQ(step.result, 1) << "error " << step.error;
  ExpectFiles(ListFiles(dir), WithLedger(Merged(ChangedDemoFiles(), users), dir));
}

TEST_F(ExtractPayload, FolderOfAnOlderSetupIsClearedOnlyWhereTheProductLivesByDefault) {
  wchar_t local[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local), S_OK);
  const std::wstring default_dir = std::wstring(local) + L"\\Kelo\\KeloBrowser";
  const Files old = {{L"KeloBrowser.exe", "old main program"},
                     {L"Old.dll", "stale library"},
                     {L"Skin\\old.png", "stale image"},
                     {L"data\\profile.ini", "the user's profile"}};
  const struct {
    std::wstring dir;
    bool recorded;  // the uninstall entry names it
    bool cleared;
  } cases[] = {{default_dir, false, true}, {root_ + L"\\games", true, false}, {root_ + L"\\other", false, false}};
  for (const auto& c : cases) {
    RemoveTree(c.dir);
    for (const auto& [file, bytes] : old) WriteBytes(c.dir + L"\\" + file, bytes);
    if (c.recorded) test::WriteString(kUninstallKey, kInstallLocationValue, c.dir + L"\\");
    const StepResult step = RunStep(c.dir + L"\\");
    ASSERT_EQ(step.result, 1) << Narrow(c.dir) << " error " << step.error;
    Files expected = WithLedger(StagedPayload(), c.dir);
    expected[L"data\\profile.ini"] = "the user's profile";
    if (!c.cleared) {
      // Not known to be ours: kept, the replaced main program in a folder of its own.
      expected[L"Old.dll"] = "stale library";
      expected[L"Skin\\old.png"] = "stale image";
      expected[L"KeloSetup.kept\\KeloBrowser.exe"] = "old main program";
    }
    ExpectFiles(ListFiles(c.dir), expected);
    RemoveTree(c.dir);
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  }
}

TEST_F(ExtractPayload, UsersFolderKeepsEveryFileAcrossInstallsAndAFailedOne) {
  const std::wstring dir = root_ + L"\\My Games";
  const Files mine = {{L"My notes.txt", "do not lose"}, {L"photos\\cat.jpg", Pattern(20000, 1)}, {L"Page\\mine.html", "mine"}};
  for (const auto& [file, bytes] : mine) WriteBytes(dir + L"\\" + file, bytes);
  std::vector<uint8_t> corrupt = DemoPacket();
  for (size_t i = corrupt.size() / 3; i < corrupt.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  {
    PacketModule module(corrupt);
    EXPECT_EQ(RunStep(dir + L"\\").result, 0);
    ExpectFiles(ListFiles(dir), mine);
  }
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  ExpectFiles(ListFiles(dir), WithLedger(Merged(StagedPayload(), mine), dir));
}

// A running copy of the browser holds its program file the way Windows holds every
// running image: it cannot be deleted, but it can be renamed.
class RunningProgram {
 public:
  explicit RunningProgram(const std::wstring& path) : process_(test::StartProgram(path)) {
    EXPECT_NE(process_, nullptr) << Narrow(path) << " error " << GetLastError();
  }
  ~RunningProgram() { End(); }
  void End() {
    if (!process_) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
    process_ = nullptr;
  }

 private:
  HANDLE process_;
};

TEST_F(ExtractPayload, RunningProgramIsMovedAsideThenRemovedByTheNextInstall) {
  const std::wstring dir = root_ + L"\\running";
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  RunningProgram running(dir + L"\\KeloBrowser.exe");
  ASSERT_FALSE(DeleteFileW((dir + L"\\KeloBrowser.exe").c_str())) << "the running program must be in use";
  // An earlier copy, aside and still in use, takes the first aside name.
  WriteBytes(dir + L"\\KeloSetup.old\\KeloBrowser.exe", "an older copy");
  HANDLE older = CreateFileW((dir + L"\\KeloSetup.old\\KeloBrowser.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(older, INVALID_HANDLE_VALUE);

  PacketModule module(ChangedDemoPacket());
  const StepResult step = RunStep(dir + L"\\");
  ASSERT_EQ(step.result, 1) << "error " << step.error;
  Files expected = WithLedger(ChangedDemoFiles(), dir);
  expected[L"KeloSetup.old\\KeloBrowser.exe"] = "an older copy";
  expected[L"KeloSetup.old\\KeloBrowser.exe.1"] = StagedPayload().at(L"KeloBrowser.exe");
  ExpectFiles(ListFiles(dir), expected);

  // Once nothing holds them, the next install takes the copies away.
  CloseHandle(older);
  running.End();
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  ExpectFiles(ListFiles(dir), WithLedger(ChangedDemoFiles(), dir));
}

TEST_F(ExtractPayload, FaultyPacketsFailTheStepWithoutLeavingAnything) {
  std::vector<uint8_t> corrupt = DemoPacket();
  for (size_t i = corrupt.size() / 3; i < corrupt.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  std::vector<uint8_t> short_stream = DemoPacket();
  short_stream.resize(short_stream.size() / 2);
  const std::string deep(200, 'd');
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    DWORD error;
    const char* why;  // what the log says
  } cases[] = {
      {"corrupt stream", corrupt, ERROR_INVALID_DATA, "cannot be unpacked: corrupt LZMA stream"},
      {"stream cut short", short_stream, ERROR_INVALID_DATA, "cannot be unpacked: LZMA stream ends before"},
      {"unsafe name", MakePacket({{"KeloBrowser.exe", "MZ"}, {"..\\escape.txt", "x"}}), ERROR_INVALID_DATA,
       "cannot be unpacked: a record name is unsafe"},
      {"path past 259 characters", MakePacket({{"KeloBrowser.exe", "MZ"}, {deep + "\\" + deep.substr(0, 50), "x"}}),
       ERROR_FILENAME_EXCED_RANGE, "a file operation"},
      {"no main program", MakePacket({{"KeloUninstall.exe", "MZ"}, {"KeloS.ini", "[StatInfo]\r\n"}}),
       ERROR_FILE_NOT_FOUND, "the payload lacks KeloBrowser.exe"},
      {"no resource", {}, 0, "carries no payload"},  // whichever resource error the loader gives
  };
  for (const auto& c : cases) {
    PacketModule module(c.packet);
    const std::wstring dir = root_ + L"\\faulty\\deeper";
    const StepResult step = RunStep(dir + L"\\");
    EXPECT_EQ(step.result, 0) << c.what;
    if (c.error) {
      EXPECT_EQ(step.error, c.error) << c.what;
    } else {
      EXPECT_NE(step.error, 0u) << c.what;
    }
    EXPECT_FALSE(FileExists(root_ + L"\\faulty")) << c.what << ": the folders the step made stay";
    EXPECT_FALSE(step.damaged) << c.what << ": taken for a damaged installer";
    EXPECT_NE(step.why.find(c.why), std::string::npos) << c.what << ": the log would say \"" << step.why << "\"";
  }
}

// A main program that a virus scanner took after the commit is told from one the drive
// would not show: gone, or deleted while still held open (every look then is denied).
TEST(MainProgramLost, TheWordsFollowTheLastLooksError) {
  const std::pair<DWORD, const char*> cases[] = {{ERROR_FILE_NOT_FOUND, "is gone"},
                                                 {ERROR_PATH_NOT_FOUND, "is gone"},
                                                 {ERROR_ACCESS_DENIED, "is gone"},
                                                 {ERROR_NOT_READY, "cannot be looked at"},
                                                 {ERROR_NETNAME_DELETED, "cannot be looked at"}};
  for (const auto& [error, words] : cases) {
    const std::wstring said = MainProgramLostWords(error);
    EXPECT_NE(Utf8(said.data(), said.size()).find(words), std::string::npos) << error;
  }
}

// The folders are made one level after the other: when one cannot be made, those made
// before it go again, past the levels that never came to be.
TEST_F(ExtractPayload, FoldersMadeBeforeOneThatCannotBeGoAgain) {
  const StepResult step = RunStep(root_ + L"\\made\\not?made\\deeper\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_FALSE(FileExists(root_ + L"\\made")) << "a folder the step made stays";
  EXPECT_TRUE(FileExists(root_)) << "the folder that was there before went";
}

TEST_F(ExtractPayload, DamagedInstallerTouchesNothing) {
  const std::wstring earlier = root_ + L"\\earlier";
  ASSERT_EQ(RunStep(earlier + L"\\").result, 1);
  const Files installed = ListFiles(earlier);
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    PacketModule::Digest digest;
  } cases[] = {{"a byte of the packet changed", DemoPacket(), PacketModule::Digest::kPacketChanged},
               {"the digest changed", DemoPacket(), PacketModule::Digest::kChanged},
               {"no digest", DemoPacket(), PacketModule::Digest::kMissing}};
  for (const auto& c : cases) {
    PacketModule module(c.packet, c.digest);
    for (const std::wstring& dir : {earlier, root_ + L"\\empty"}) {
      const StepResult step = RunStep(dir + L"\\");
      EXPECT_EQ(step.result, 0) << c.what;
      EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_FILE_CORRUPT)) << c.what;
      EXPECT_TRUE(step.damaged) << c.what;
      EXPECT_NE(step.why.find("damaged"), std::string::npos) << c.what;
    }
    ExpectFiles(ListFiles(earlier), installed);
    EXPECT_FALSE(FileExists(root_ + L"\\empty")) << c.what;
  }
}

// Every run starts undamaged: one after a damaged run that fails otherwise is not told as
// damaged.
TEST_F(ExtractPayload, ARunAfterADamagedOneStartsUndamaged) {
  CSetupLogic logic;
  logic.SetInstallDir((root_ + L"\\KeloBrowser\\").c_str());
  {
    PacketModule module(DemoPacket(), PacketModule::Digest::kMissing);
    ASSERT_EQ(logic.StepExtractPayload(), 0);
    ASSERT_TRUE(logic.PayloadDamaged());
  }
  ASSERT_TRUE(logic.StartWorker(nullptr));  // nothing scheduled
  ASSERT_TRUE(logic.WaitForWorker(10000, nullptr));
  EXPECT_FALSE(logic.PayloadDamaged());
}

TEST_F(ExtractPayload, PacketThatCannotBeInstalledLeavesAnEarlierInstallationAsItWas) {
  const Files earlier = {{L"KeloBrowser.exe", "old main program"},
                         {L"Page\\index.html", "old page"},
                         {L"Data\\profile.ini", "the user's profile"}};
  std::vector<uint8_t> corrupt = DemoPacket();
  for (size_t i = corrupt.size() / 3; i < corrupt.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  const std::wstring deep = std::wstring(236 - root_.size() - 1, L'd');
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    std::wstring name;  // of the installation's folder below the root
    DWORD error;
  } cases[] = {
      {"corrupt stream", corrupt, L"corrupt", ERROR_INVALID_DATA},
      // The folder leaves room for the main program's name but not for a longer one.
      {"path past 259 characters", DemoPacket(), deep, ERROR_FILENAME_EXCED_RANGE},
      {"a folder where a file goes", MakePacket({{"KeloBrowser.exe", "MZ"}, {"Page", "a file"}}), L"folder",
       ERROR_ALREADY_EXISTS},
  };
  for (const auto& c : cases) {
    PacketModule module(c.packet);
    const std::wstring dir = root_ + L"\\" + c.name;
    for (const auto& [file, bytes] : earlier) WriteBytes(dir + L"\\" + file, bytes);
    ASSERT_LT(dir.size() + 1 + lstrlenW(kBrowserExe), kPathChars) << c.what;
    const StepResult step = RunStep(dir + L"\\");
    EXPECT_EQ(step.result, 0) << c.what;
    EXPECT_EQ(step.error, c.error) << c.what;
    ExpectFiles(ListFiles(dir), earlier);
    RemoveTree(dir);
  }
}

// An installer or uninstaller at work in the folder from another logon session, which the
// setup programs' lock does not reach, holds it: the step waits a moment, then changes
// nothing and says why. Its own hold is gone with it.
TEST_F(ExtractPayload, AFolderHeldByAnotherInstallerIsLeftAlone) {
  const std::wstring dir = root_ + L"\\held";
  const Files earlier = {{L"KeloBrowser.exe", "old main program"}, {L"Data\\profile.ini", "the user's profile"}};
  for (const auto& [file, bytes] : earlier) WriteBytes(dir + L"\\" + file, bytes);
  ScopedHandle other(CreateFileW((dir + L"\\KeloSetup.lock").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  ASSERT_TRUE(other.IsValid());
  const StepResult step = RunStep(dir + L"\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  other.Reset();
  ExpectFiles(ListFiles(dir), earlier);
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  EXPECT_EQ(ListFiles(dir).count(L"KeloSetup.lock"), 0u) << "the step's hold outlived it";
}

// The hold keeps every other opener out, whatever it would share, and goes with its handle;
// another holder first waits out what may be a brief hold.
TEST_F(ExtractPayload, AFolderHoldKeepsEveryOtherOpenerOut) {
  Win32InstallFs first(root_), second(root_);
  std::vector<DWORD> waits;
  second.busy_wait = [&](DWORD ms) { waits.push_back(ms); };
  ScopedHandle first_hold, second_hold;
  ASSERT_TRUE(first.HoldFolder(&first_hold));
  ScopedHandle reader(CreateFileW((root_ + L"\\KeloSetup.lock").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  EXPECT_FALSE(reader.IsValid()) << "the hold shares the file";
  EXPECT_FALSE(second.HoldFolder(&second_hold));
  EXPECT_EQ(second.LastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(waits.empty()) << "a hold that may be brief was not waited for";
  first_hold.Reset();
  EXPECT_EQ(first.Probe(kFolderHoldName), InstallFs::Kind::kMissing);
  EXPECT_TRUE(second.HoldFolder(&second_hold));
}

// Another system's tools may leave a file Windows names a device ("nul") in the Data folder:
// a plain path opens the device, so the file is left alone, and an uninstall that removes
// Data completes instead of failing at it every time.
TEST_F(ExtractPayload, ADeviceNamedFileIsLeftAloneAndTheUninstallCompletes) {
  const std::wstring dir = root_ + L"\\app";
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  ASSERT_TRUE(CreateDirectoryW((dir + L"\\Data").c_str(), nullptr));
  // A port's superscript digit names it too, whatever bytes the code page spells it with.
  const wchar_t* const names[] = {L"nul", L"COM1.txt", L"aux .log", L"lpt\u00B3.dat"};
  for (const wchar_t* name : names)
    WriteBytes(L"\\\\?\\" + dir + L"\\Data\\" + name, "another system's");
  Win32InstallFs fs(dir);
  std::vector<InstallFs::Entry> entries;
  ASSERT_TRUE(fs.List("Data", &entries));
  ASSERT_EQ(entries.size(), std::size(names));
  for (const InstallFs::Entry& entry : entries) EXPECT_EQ(entry.kind, InstallFs::Kind::kLink) << entry.name;
  EXPECT_TRUE(UninstallFiles(&fs, /*keep_data=*/false).ok());
  EXPECT_EQ(fs.Probe(kLedgerName), InstallFs::Kind::kMissing);
  for (const wchar_t* name : names) {
    const std::wstring path = L"\\\\?\\" + dir + L"\\Data\\" + name;
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "removed through the device's name";
    DeleteFileW(path.c_str());
  }
}

// Who a file's access rules let in, by the text form of each SID an entry allows; empty
// when they cannot be read.
std::set<std::wstring> AllowedSids(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  std::set<std::wstring> sids;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return sids;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    wchar_t* sid = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
        !ConvertSidToStringSidW(&ace->SidStart, &sid))
      continue;
    sids.insert(sid);
    LocalFree(sid);
  }
  LocalFree(descriptor);
  return sids;
}

// The folders the install makes are the user's alone: below a drive's root, which passes on
// "modify" to everyone who logs on, any user could otherwise replace the browser and run
// code as this one. A folder that was there keeps its rules.
TEST_F(ExtractPayload, TheFoldersTheInstallMakesAreTheUsersAlone) {
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open,
                                                                   nullptr));
  const BOOL set = SetFileSecurityW(root_.c_str(), DACL_SECURITY_INFORMATION, open);
  LocalFree(open);
  ASSERT_TRUE(set);
  const std::wstring kEveryone = L"S-1-1-0";
  ASSERT_EQ(AllowedSids(root_).count(kEveryone), 1u);
  // A folder made without its own rules shows everyone let in: the check below can fail.
  ASSERT_TRUE(MakeDirectories(root_ + L"\\plain\\"));
  if (!AllowedSids(root_ + L"\\plain").count(kEveryone)) GTEST_SKIP() << "this system shows no one else let in anyway";
  ASSERT_EQ(RunStep(root_ + L"\\new\\KeloBrowser\\").result, 1);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ScopedHandle holder(token);
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } owner;
  DWORD size = 0;
  wchar_t* sid = nullptr;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, &owner, sizeof(owner), &size));
  ASSERT_TRUE(ConvertSidToStringSidW(owner.user.User.Sid, &sid));
  const std::wstring user = sid;
  LocalFree(sid);
  const std::set<std::wstring> only = {L"S-1-5-18", L"S-1-5-32-544", user};  // the system, administrators, the user
  // The first level made; those below take its rules from it (which Wine, keeping no rules
  // of its own for files, does not show).
  const std::set<std::wstring> allowed = AllowedSids(root_ + L"\\new");
  EXPECT_EQ(allowed.count(user), 1u);
  for (const std::wstring& one : allowed) EXPECT_EQ(only.count(one), 1u) << "lets in " << testing::PrintToString(one);
  EXPECT_EQ(AllowedSids(root_).count(kEveryone), 1u) << "the folder that was there lost its rules";
}

// A read-only file of ours that has another name outside the folder (a backup tool's hard
// link) goes, and where it is deleted the other name keeps the mark: the mark is the
// file's, not the name's. Replaced (the ledger is), it goes all the same.
TEST_F(ExtractPayload, AReadOnlyFileWithOtherNamesGoesAndTheyKeepTheMarkWhereTheyCan) {
  const std::wstring dir = root_ + L"\\links";
  const std::wstring backup = root_ + L"\\backup";
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced" : "deleted");
    WriteBytes(dir + L"\\KeloSetup.ledger", "ours");
    WriteBytes(dir + L"\\KeloSetup.ledger.new", "the next");
    ASSERT_TRUE(CreateHardLinkW(backup.c_str(), (dir + L"\\KeloSetup.ledger").c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    Win32InstallFs fs(dir);
    if (replaced) {
      ASSERT_TRUE(fs.Replace("KeloSetup.ledger.new", "KeloSetup.ledger")) << fs.LastError();
      EXPECT_EQ(ReadBytes(dir + L"\\KeloSetup.ledger"), "the next");
    } else {
      ASSERT_TRUE(fs.RemoveFile("KeloSetup.ledger")) << fs.LastError();
      EXPECT_FALSE(FileExists(dir + L"\\KeloSetup.ledger"));
      EXPECT_EQ(GetFileAttributesW(backup.c_str()) & FILE_ATTRIBUTE_READONLY,
                static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))
          << "the other name lost its mark";
    }
    EXPECT_EQ(ReadBytes(backup), "ours");
    SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(backup.c_str());
    RemoveTree(dir);
  }
}

// Each operation of the file layer fails where it cannot do its work, with the system's
// reason (a folder that is not there, a file where a folder is asked for) or its own (a path
// one character too long), and changes nothing: none reports work it did not do.
TEST_F(ExtractPayload, EachFileOperationFailsWithItsReasonWhereItCannotWork) {
  const std::wstring dir = root_ + L"\\ops";
  WriteBytes(dir + L"\\file", "a file");
  ASSERT_TRUE(CreateDirectoryW((dir + L"\\folder").c_str(), nullptr));
  Win32InstallFs fs(dir);
  const std::string too_long(kPathChars - dir.size() - 1, 'n');
  Win32InstallFs too_deep(dir + L"\\" + std::wstring(kPathChars - dir.size() - sizeof kFolderHoldName - 1, L'd'));
  std::vector<InstallFs::Entry> entries;
  ScopedHandle hold;
  const struct {
    const char* what;
    std::function<bool()> operate;
    InstallFs* by;
    uint32_t error;
  } cases[] = {
      {"make a folder too long", [&] { return fs.MakeDir(too_long); }, &fs, ERROR_FILENAME_EXCED_RANGE},
      {"make a folder where a file is", [&] { return fs.MakeDir("file"); }, &fs, ERROR_ALREADY_EXISTS},
      {"make a folder in none", [&] { return fs.MakeDir("none\\sub"); }, &fs, ERROR_PATH_NOT_FOUND},
      {"list too long", [&] { return fs.List(too_long, &entries); }, &fs, ERROR_FILENAME_EXCED_RANGE},
      {"list none", [&] { return fs.List("none", &entries); }, &fs, ERROR_PATH_NOT_FOUND},
      {"hold too deep", [&] { return too_deep.HoldFolder(&hold); }, &too_deep, ERROR_FILENAME_EXCED_RANGE},
      {"open none", [&] { return fs.Open("none") != nullptr; }, &fs, ERROR_FILE_NOT_FOUND},
      {"create too long", [&] { return fs.Create(too_long) != nullptr; }, &fs, ERROR_FILENAME_EXCED_RANGE},
      {"remove a file in none", [&] { return fs.RemoveFile("none\\file"); }, &fs, ERROR_PATH_NOT_FOUND},
      {"remove a folder too long", [&] { return fs.RemoveDir(too_long); }, &fs, ERROR_FILENAME_EXCED_RANGE},
      {"move none", [&] { return fs.Move("none", "moved"); }, &fs, ERROR_FILE_NOT_FOUND},
      {"move to too long", [&] { return fs.Move("file", too_long); }, &fs, ERROR_FILENAME_EXCED_RANGE},
      {"replace with none", [&] { return fs.Replace("none", "file"); }, &fs, ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(c.operate()) << c.what;
    EXPECT_EQ(c.by->LastError(), c.error) << c.what;
  }
  EXPECT_TRUE(fs.MakeDir("folder")) << "a folder that is there is made";
  EXPECT_FALSE(hold.IsValid());
  EXPECT_EQ(ReadBytes(dir + L"\\file"), "a file");
  EXPECT_EQ(ListFiles(dir).size(), 1u) << "a file was made or removed";
  EXPECT_FALSE(FileExists(dir + L"\\none")) << "a folder was made";
  RemoveTree(dir);
}

TEST_F(ExtractPayload, UnwritableNewDirectoryReportsTheSystemError) {
  // Drive Q: does not exist in the test prefix.
  const StepResult step = RunStep(L"Q:\\nowhere\\KeloBrowser\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_NE(step.error, 0u);
  const StepResult too_long = RunStep(root_ + L"\\" + std::wstring(250, L'x') + L"\\");
  EXPECT_EQ(too_long.result, 0);
  EXPECT_EQ(too_long.error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(GetFileAttributesW((L"\\\\?\\" + root_ + L"\\" + std::wstring(250, L'x')).c_str()),
            INVALID_FILE_ATTRIBUTES)
      << "the refused directory was made";
}

TEST_F(ExtractPayload, StagedPathsTakeUpTo259Characters) {
  // Files go through the staging folder first, whose paths are the longer ones.
  const std::wstring dest = root_ + L"\\" + std::wstring(200 - root_.size(), L'p') + L"\\";
  const size_t staged_prefix = dest.size() + lstrlenW(L"KeloSetup.new\\");
  for (size_t path_chars : {259u, 260u}) {
    const std::string name = std::string(path_chars - staged_prefix - 4, 'n') + ".txt";
    PacketModule module(MakePacket({{"KeloBrowser.exe", "MZ"}, {name, "2"}}));
    const StepResult step = RunStep(dest);
    const bool fits = path_chars <= 259;
    EXPECT_EQ(step.result, fits ? 1 : 0) << path_chars << " characters";
    if (!fits) {
      EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    }
    EXPECT_EQ(FileExists(dest + L"KeloBrowser.exe"), fits) << "nothing is installed unless every path fits";
    RemoveTree(dest.substr(0, dest.size() - 1));
  }
}

// A path too long to form leads to a file no one can look at, not to none: an uninstall
// meeting a file of the ledger moved that deep keeps its ledger, an update stops.
TEST_F(ExtractPayload, APathTooLongToLookAtIsNotTakenForGone) {
  Win32InstallFs fs(root_ + L"\\");
  const std::string fits(259 - root_.size() - 1, 'n');
  EXPECT_EQ(fs.Probe(fits), InstallFs::Kind::kMissing);
  EXPECT_EQ(fs.Probe(fits + "n"), InstallFs::Kind::kUnknown);
  EXPECT_EQ(fs.LastError(), static_cast<uint32_t>(ERROR_FILENAME_EXCED_RANGE));
}

// Another program's brief hold on a file (an antivirus scanning it as it is closed) is
// waited out by a move and a removal; one that lasts fails them after about 2 s with the
// holder's error. A removal refused for good (a running program's file, a folder at the
// name) is not waited for.
TEST_F(ExtractPayload, MovesAndRemovalsWaitOutABriefHold) {
  const std::pair<const char*, std::function<bool(Win32InstallFs&)>> operations[] = {
      {"move", [](Win32InstallFs& fs) { return fs.Move("a", "b"); }},
      {"removal", [](Win32InstallFs& fs) { return fs.RemoveFile("a"); }}};
  const std::wstring path = root_ + L"\\a";
  for (const auto& [what, operate] : operations) {
    for (const bool brief : {true, false}) {
      SCOPED_TRACE(testing::Message() << what << (brief ? ", brief hold" : ", lasting hold"));
      Win32InstallFs fs(root_);
      WriteBytes(path, "ours");
      ScopedHandle held(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held.IsValid());
      std::vector<DWORD> waits;
      fs.busy_wait = [&](DWORD ms) {
        waits.push_back(ms);
        if (brief) held.Reset();
      };
      EXPECT_EQ(operate(fs), brief);
      DWORD waited = 0;
      for (DWORD ms : waits) waited += ms;
      if (brief) {
        EXPECT_EQ(waits.size(), 1u);
      } else {
        EXPECT_EQ(fs.LastError(), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
        EXPECT_TRUE(waited >= 1500 && waited <= 2500) << waited << " ms";
      }
      held.Reset();
      DeleteFileW(path.c_str());
      DeleteFileW((root_ + L"\\b").c_str());
    }
  }
  // Refused as a running program's file is.
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  Win32InstallFs fs(root_);
  std::vector<DWORD> waits;
  fs.busy_wait = [&](DWORD ms) { waits.push_back(ms); };
  EXPECT_FALSE(fs.RemoveFile("a"));
  EXPECT_EQ(fs.LastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(waits.empty()) << "a removal no wait lets through was waited for";
  RemoveDirectoryW(path.c_str());
}

// What the fixture script made on the Linux side: a 2 MB disk, and a folder whose entries
// are symbolic links out of it. Empty when the test runs without the fixture. Read wide:
// the build folder may be named in Chinese, which the ANSI code page would misread.
std::string FixtureDir() {
  std::wstring dir(32767, L'\0');
  dir.resize(GetEnvironmentVariableW(L"KELO_EXTRACT_FIXTURE", dir.data(), static_cast<DWORD>(dir.size())));
  return Utf8(dir.data(), dir.size());
}

std::wstring FixturePath(const char* relative) { return HostPath((FixtureDir() + relative).c_str()); }

// Run by hand, the program has no fixture and skips these cases; a fixture named but not
// found fails them, for a run that skipped them would pass unseen.
#define REQUIRE_FIXTURE()                                                                     \
  if (FixtureDir().empty())                                                                   \
    GTEST_SKIP() << "needs extract_fixture.sh, which ctest runs first (KELO_EXTRACT_FIXTURE)"; \
  ASSERT_TRUE(FileExists(FixturePath("/ready"))) << "no fixture at " << FixtureDir()

TEST_F(ExtractPayload, FilesBehindALinkAreNeverTakenForAnOlderInstallation) {
  REQUIRE_FIXTURE();
  const std::wstring dir = FixturePath("/linked");
  const std::wstring outside = FixturePath("/outside");
  WriteBytes(dir + L"\\KeloBrowser.exe", "old main program");
  const Files before = ListFiles(outside);
  ASSERT_FALSE(before.empty());
  // As if it were the product's default folder, whose unlisted files are adopted.
  Win32InstallFs fs(dir);
  InstallRules rules;
  rules.adopt_unlisted = true;
  const std::vector<uint8_t> packet = DemoPacket();
  ASSERT_TRUE(InstallPacket(&fs, packet.data(), packet.size(), rules).ok());
  ASSERT_TRUE(UninstallFiles(&fs, /*keep_data=*/false).ok());
  EXPECT_FALSE(FileExists(dir + L"\\KeloBrowser.exe"));
  ExpectFiles(ListFiles(outside), before);
}

// A link planted at the name of the folder's hold: the hold is not taken there, and what the
// link leads to stays.
TEST_F(ExtractPayload, ALinkAtTheHoldsNameIsNotFollowed) {
  REQUIRE_FIXTURE();
  Win32InstallFs fs(FixturePath("/held"));
  ScopedHandle hold;
  EXPECT_FALSE(fs.HoldFolder(&hold));
  EXPECT_EQ(fs.LastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
  hold.Reset();
  EXPECT_EQ(ReadBytes(FixturePath("/theses/thesis.txt")), "the user's thesis\n");
  EXPECT_EQ(fs.Probe(kFolderHoldName), InstallFs::Kind::kLink);
}

// Nor is a log written through one: it goes to the default place, which says where it was
// to be written.
TEST_F(ExtractPayload, ALogNamedThroughALinkIsWrittenElsewhere) {
  REQUIRE_FIXTURE();
  InstallLog log;
  ASSERT_TRUE(log.Open(FixturePath("/held/KeloSetup.lock/thesis.txt")));
  log.Line(L"a line");
  EXPECT_EQ(log.path(), DefaultLogPath());
  EXPECT_EQ(ReadBytes(FixturePath("/theses/thesis.txt")), "the user's thesis\n");
}

// The folder stays held from the payload step to the run's end: an uninstall from another
// logon session must not take away the files the later steps register, link to and start.
class HoldCheckingLogic : public CSetupLogic {
 public:
  std::wstring hold_path;
  DWORD seen = ERROR_SUCCESS;  // what another program taking the hold met in a later step
  int TryTheHold() {
    HANDLE other = CreateFileW(hold_path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                               nullptr);
    seen = other == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    return 1;
  }
};

TEST_F(ExtractPayload, TheFolderStaysHeldUntilTheRunEnds) {
  const std::wstring dir = root_ + L"\\held-run\\";
  HoldCheckingLogic logic;
  logic.hold_path = dir + L"KeloSetup.lock";
  logic.SetInstallDir(dir.c_str());
  ASSERT_TRUE(logic.AddStep(CSetupLogic::kStepTable[kStepExtractPayload]));
  ASSERT_TRUE(logic.AddStep({kStepRegisterUninstall, static_cast<StepFunction>(&HoldCheckingLogic::TryTheHold)}));
  ASSERT_TRUE(logic.StartWorker(nullptr));
  ASSERT_TRUE(logic.WaitForWorker(60000, nullptr));
  EXPECT_FALSE(logic.RunFailed());
  EXPECT_EQ(logic.seen, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "a later step ran with the folder let go";
  EXPECT_FALSE(FileExists(logic.hold_path)) << "the hold outlived the run";
}

// The product's default folder, or the one above it, made a link to a folder of the user's
// (to keep the browser on another drive, say): the files behind it are not an older setup
// program's, and the first install there keeps every one.
TEST_F(ExtractPayload, ALinkedDefaultFolderIsNotClearedOfFilesItDoesNotList) {
  REQUIRE_FIXTURE();
  const std::wstring local = test::ShellFolder(CSIDL_LOCAL_APPDATA);
  // Beside an older main program, which a take-over would replace; kept aside instead.
  const Files users = {{L"save.dat", "saved game\n"},
                       {L"Mods\\mod.pak", "a mod\n"},
                       {L"KeloSetup.kept\\KeloBrowser.exe", "an older setup's\n"}};
  for (const char* appdata : {"/appdata-linked", "/appdata-parent-linked"}) {
    SCOPED_TRACE(appdata);
    test::RedirectShellFolder(L"Local AppData", CSIDL_LOCAL_APPDATA, FixturePath(appdata));
    const std::wstring dir = FixturePath(appdata) + L"\\Kelo\\KeloBrowser";
    const StepResult step = RunStep(dir + L"\\");
    test::RedirectShellFolder(L"Local AppData", CSIDL_LOCAL_APPDATA, local);
    ASSERT_EQ(step.result, 1) << "error " << step.error;
    ExpectFiles(ListFiles(dir), WithLedger(Merged(StagedPayload(), users), dir));
  }
}

// A folder level the install made may since have been moved elsewhere and linked back (to
// free the system drive): removing the link would strand what is behind it. (Wine, unlike
// Windows, removes no link to a folder that holds anything: an empty one shows the fault.)
TEST_F(ExtractPayload, EmptyFolderLevelsStopAtALink) {
  REQUIRE_FIXTURE();
  RemoveEmptyFolders(FixturePath("/linked/Empty") + L"\\", 1);
  EXPECT_TRUE(FileExists(FixturePath("/linked/Empty"))) << "the link was removed";
}

class SmallDisk : public ExtractPayload {
 protected:
  void SetUp() override {
    ExtractPayload::SetUp();
    if (FixtureDir().empty() || !FileExists(FixturePath("/small/.small-disk"))) return;
    disk_ = FixturePath("/small");
  }
  void TearDown() override {
    if (!disk_.empty()) {
      RemoveTree(disk_ + L"\\install");
      DeleteFileW((disk_ + L"\\filler").c_str());
    }
    ExtractPayload::TearDown();
  }
  // Fills the disk until `left` bytes remain.
  void Fill(ULONGLONG left) {
    ULARGE_INTEGER free_bytes;
    ASSERT_TRUE(GetDiskFreeSpaceExW(disk_.c_str(), &free_bytes, nullptr, nullptr));
    ASSERT_GT(free_bytes.QuadPart, left);
    WriteBytes(disk_ + L"\\filler", std::string(free_bytes.QuadPart - left, 'f'));
  }
  std::wstring disk_;
};

#define REQUIRE_SMALL_DISK()                                                                     \
  REQUIRE_FIXTURE();                                                                             \
  if (disk_.empty()) GTEST_SKIP() << "no small disk: " << ReadBytes(FixturePath("/small-unavailable"))

// Room for the payload but not for the megabyte the install keeps to spare: refused before a
// byte is written, where the writes themselves would have passed.
TEST_F(SmallDisk, PayloadWithoutRoomToSpareFailsBeforeWritingAndKeepsTheEarlierInstallation) {
  REQUIRE_SMALL_DISK();
  const std::wstring dir = disk_ + L"\\install";
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  const Files earlier = ListFiles(dir);
  PacketModule module(MakePacket({{"KeloBrowser.exe", "MZ"}, {"Lib\\big.dat", Pattern(512 << 10, 7)}}));
  Fill(1 << 20);
  const StepResult step = RunStep(dir + L"\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_DISK_FULL));
  ExpectFiles(ListFiles(dir), earlier);
}

TEST_F(SmallDisk, DiskFillingUpWhileStagingKeepsTheEarlierInstallation) {
  REQUIRE_SMALL_DISK();
  const std::wstring dir = disk_ + L"\\install";
  ASSERT_EQ(RunStep(dir + L"\\").result, 1);
  const Files earlier = ListFiles(dir);
  // Many small files pass the free-space check by their bytes, but each takes a whole block
  // of the disk: it fills up part-way through staging.
  std::vector<std::pair<std::string, std::string>> files = {{"KeloBrowser.exe", "MZ"}};
  for (int i = 0; i < 600; ++i) files.emplace_back("Many\\file" + std::to_string(i) + ".txt", Pattern(100, i));
  PacketModule module(MakePacket(files));
  Fill((1 << 20) + (160 << 10));
  const StepResult step = RunStep(dir + L"\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_DISK_FULL));
  ExpectFiles(ListFiles(dir), earlier);
}

}  // namespace
}  // namespace kelo
