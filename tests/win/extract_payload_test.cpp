// Install step 0 on real directories: what a new install, a re-install over an earlier one
// and an install into someone else's folder leave on disk, and how each fault ends the step.
// The program carries the demo packet as its FILE 143, as the installer does; other packets
// go into a copy of it whose resource is replaced.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/module.h"
#include "base/product.h"
#include "packtool/packet_writer.h"
#include "setup/extract_payload.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::FileExists;
using test::HostPath;
using test::RemoveTree;

using Files = std::map<std::wstring, std::string>;  // relative path -> content

std::string Narrow(const std::wstring& text) { return testing::PrintToString(text); }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path) << " error " << GetLastError();
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size()) << Narrow(path);
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD got = 0;
  if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  return bytes.substr(0, got);
}

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
  explicit PacketModule(const std::vector<uint8_t>& packet) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"packet-module-" + std::to_wstring(++count_) + L".dll";
    EXPECT_TRUE(CopyFileW(self, path_.c_str(), FALSE));
    HANDLE update = BeginUpdateResourceW(path_.c_str(), TRUE);
    EXPECT_NE(update, nullptr);
    if (!packet.empty()) {
      EXPECT_TRUE(UpdateResourceW(update, kPacketResourceType, MAKEINTRESOURCEW(kPacketResourceId),
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<uint8_t*>(packet.data()),
                                  static_cast<DWORD>(packet.size())));
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
  std::wstring path_;
  HMODULE module_ = nullptr;
};

struct StepResult {
  int result;
  DWORD error;
};

StepResult RunStep(const std::wstring& dir) {
  CSetupLogic logic;
  logic.SetInstallDir(dir.c_str());
  SetLastError(0);
  const int result = logic.StepExtractPayload();
  return {result, GetLastError()};
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

  // An earlier installation: the old main program plus `extra` files.
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
  // Byte for byte the staged payload, and nothing else: the packet file is gone.
  ExpectFiles(ListFiles(dir), StagedPayload());
}

TEST_F(ExtractPayload, ReinstallClearsOldFilesButKeepsTheTopLevelDataFolder) {
  const struct {
    const wchar_t* folder;
    bool kept;
  } cases[] = {{L"Data", true}, {L"data", false}, {L"DATA", false}, {L"Skin\\Data", false}};
  int n = 0;
  for (const auto& c : cases) {
    const std::wstring folder = c.folder;
    const Files user_files = {{folder + L"\\Profile\\user.ini", "[User]\r\nName=me\r\n"}, {folder + L"\\cookies.db", "x"}};
    Files old = user_files;
    old[L"Old.dll"] = "stale library";
    old[L"Skin\\old.png"] = "stale image";
    const std::wstring dir = EarlierInstall(L"again" + std::to_wstring(++n), old);
    const StepResult step = RunStep(dir + L"\\");
    ASSERT_EQ(step.result, 1) << Narrow(folder) << " error " << step.error;
    Files expected = StagedPayload();
    if (c.kept) expected.insert(user_files.begin(), user_files.end());
    ExpectFiles(ListFiles(dir), expected);
    EXPECT_TRUE(FileExists(dir + L"\\" + folder)) << "folders stay, emptied: " << Narrow(folder);
  }
}

TEST_F(ExtractPayload, ClearsOnlyAnEarlierInstallation) {
  // An existing folder is cleared when it holds the old main program or is the recorded
  // install location, however that is spelled; anything else keeps its files.
  const struct {
    const wchar_t* recorded;  // "InstallLocation", with $ for the directory
    bool main_program;
    bool cleared;
  } cases[] = {
      {nullptr, true, true},
      {nullptr, false, false},
      {L"$\\", false, true},
      {L"$", false, true},
      {L"$/", false, true},
      {L"UPPER", false, true},
      {L"C:\\somewhere-else\\", false, false},
      {L"", false, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::wstring dir = root_ + L"\\Target" + std::to_wstring(++n);
    const Files mine = {{L"My notes.txt", "do not lose"}, {L"photos\\cat.jpg", "meow"}, {L"KeloS.ini", Pattern(9000, 3)}};
    for (const auto& [file, bytes] : mine) WriteBytes(dir + L"\\" + file, bytes);
    if (c.main_program) WriteBytes(dir + L"\\KeloBrowser.exe", "old main program");
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    if (c.recorded) {
      std::wstring recorded = c.recorded;
      if (recorded == L"UPPER") {
        recorded = dir;
        CharUpperW(recorded.data());
      }
      if (recorded.find(L'$') != std::wstring::npos) recorded.replace(recorded.find(L'$'), 1, dir);
      test::WriteString(kUninstallKey, kInstallLocationValue, recorded);
    }
    const StepResult step = RunStep(dir + L"\\");
    ASSERT_EQ(step.result, 1) << "case " << n << " error " << step.error;
    Files expected = StagedPayload();
    if (!c.cleared) {
      // The user's files stay; a payload file of the same name is replaced whole, shorter
      // than the old one, without the old tail.
      for (const auto& entry : mine) expected.insert(entry);
    }
    ExpectFiles(ListFiles(dir), expected);
  }
}

TEST_F(ExtractPayload, DriveRootIsNeverTakenForAnEarlierInstallation) {
  WriteBytes(L"C:\\KeloBrowser.exe", "planted");
  EXPECT_FALSE(HoldsEarlierInstallation(L"C:\\"));
  EXPECT_FALSE(HoldsEarlierInstallation(L"C:/"));
  DeleteFileW(L"C:\\KeloBrowser.exe");
  test::WriteString(kUninstallKey, kInstallLocationValue, L"C:\\");
  EXPECT_FALSE(HoldsEarlierInstallation(L"C:\\"));
  EXPECT_FALSE(HoldsEarlierInstallation(root_ + L"\\")) << "a folder of the drive is not the drive";
}

// A running copy of the browser holds its program file the way Windows holds every
// running image: it cannot be deleted, but it can be renamed.
class RunningProgram {
 public:
  explicit RunningProgram(const std::wstring& path) : process_(test::StartProgram(path)) {
    EXPECT_NE(process_, nullptr) << Narrow(path) << " error " << GetLastError();
  }
  ~RunningProgram() {
    if (!process_) return;
    TerminateProcess(process_, 0);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
  }

 private:
  HANDLE process_;
};

std::wstring PendingRenames() {
  wchar_t buffer[32768] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
               L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, buffer, &bytes);
  std::wstring all(buffer, bytes / sizeof(wchar_t));
  for (wchar_t& c : all)
    if (c == L'\0') c = L'\n';
  CharUpperW(all.data());
  return all;
}

TEST_F(ExtractPayload, RunningProgramIsMovedAsideAndReplaced) {
  // The old version is the new one with a tail, so old and new differ.
  const std::string old_program = StagedPayload().at(L"KeloBrowser.exe") + std::string(4096, 'X');
  const std::wstring dir = EarlierInstall(L"running", {});
  WriteBytes(dir + L"\\KeloBrowser.exe", old_program);
  RunningProgram running(dir + L"\\KeloBrowser.exe");
  ASSERT_FALSE(DeleteFileW((dir + L"\\KeloBrowser.exe").c_str())) << "the running program must be in use";

  const StepResult step = RunStep(dir + L"\\");
  ASSERT_EQ(step.result, 1) << "error " << step.error;
  Files expected = StagedPayload();
  expected[L"KeloBrowser.exe.tmp"] = old_program;
  ExpectFiles(ListFiles(dir), expected);
  std::wstring aside = dir + L"\\KeloBrowser.exe.tmp";
  CharUpperW(aside.data());
  EXPECT_NE(PendingRenames().find(aside), std::wstring::npos) << "not scheduled for deletion at restart";
}

TEST_F(ExtractPayload, RunningProgramWhoseAsideNameIsTakenFailsTheStep) {
  const std::wstring dir = EarlierInstall(L"taken", {{L"KeloBrowser.exe.tmp", "an older copy, still open"}});
  const std::string old_program = StagedPayload().at(L"KeloBrowser.exe") + "old";
  WriteBytes(dir + L"\\KeloBrowser.exe", old_program);
  RunningProgram running(dir + L"\\KeloBrowser.exe");
  HANDLE aside = CreateFileW((dir + L"\\KeloBrowser.exe.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(aside, INVALID_HANDLE_VALUE);

  const StepResult step = RunStep(dir + L"\\");
  CloseHandle(aside);
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadBytes(dir + L"\\KeloBrowser.exe"), old_program);
  EXPECT_EQ(ReadBytes(dir + L"\\KeloBrowser.exe.tmp"), "an older copy, still open");
  EXPECT_FALSE(FileExists(dir + L"\\SetupPacket.7z"));
}

TEST_F(ExtractPayload, StaleAsideCopyMakesWayForTheRunningProgram) {
  // An earlier update moved a running program aside and its deletion at restart never
  // happened; that program has ended since.
  const std::wstring dir = EarlierInstall(L"stale", {{L"KeloBrowser.exe.tmp", "a copy from an earlier update"}});
  const std::string old_program = StagedPayload().at(L"KeloBrowser.exe") + "old";
  WriteBytes(dir + L"\\KeloBrowser.exe", old_program);
  RunningProgram running(dir + L"\\KeloBrowser.exe");

  const StepResult step = RunStep(dir + L"\\");
  ASSERT_EQ(step.result, 1) << "error " << step.error;
  Files expected = StagedPayload();
  expected[L"KeloBrowser.exe.tmp"] = old_program;
  ExpectFiles(ListFiles(dir), expected);
}

TEST_F(ExtractPayload, FaultyPacketsFailTheStepWithoutWritingAFileOrLeavingThePacket) {
  std::vector<uint8_t> corrupt = DemoPacket();
  for (size_t i = corrupt.size() / 3; i < corrupt.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  std::vector<uint8_t> short_stream = DemoPacket();
  short_stream.resize(short_stream.size() / 2);
  const std::string deep(200, 'd');
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    DWORD error;
  } cases[] = {
      {"corrupt stream", corrupt, ERROR_INVALID_DATA},
      {"stream cut short", short_stream, ERROR_INVALID_DATA},
      {"unsafe name", MakePacket({{"KeloBrowser.exe", "MZ"}, {"..\\escape.txt", "x"}}), ERROR_INVALID_DATA},
      {"path past 259 characters", MakePacket({{"KeloBrowser.exe", "MZ"}, {deep + "\\" + deep.substr(0, 50), "x"}}),
       ERROR_FILENAME_EXCED_RANGE},
      {"no resource", {}, 0},  // whichever resource error the loader gives
  };
  for (const auto& c : cases) {
    PacketModule module(c.packet);
    const std::wstring dir = root_ + L"\\faulty";
    const StepResult step = RunStep(dir + L"\\");
    EXPECT_EQ(step.result, 0) << c.what;
    if (c.error) {
      EXPECT_EQ(step.error, c.error) << c.what;
    } else {
      EXPECT_NE(step.error, 0u) << c.what;
    }
    EXPECT_TRUE(ListFiles(dir).empty()) << c.what;
    RemoveTree(dir);
  }
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

TEST_F(ExtractPayload, MissingMainProgramFailsAfterABoundedWait) {
  PacketModule module(MakePacket({{"KeloUninstall.exe", "MZ"}, {"KeloS.ini", "[StatInfo]\r\n"}}));
  const ULONGLONG start = GetTickCount64();
  const StepResult step = RunStep(root_ + L"\\nomain\\");
  const ULONGLONG waited = GetTickCount64() - start;
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_GE(waited, kMainProgramWaitMs);
  EXPECT_LT(waited, kMainProgramWaitMs + 5000);
  EXPECT_FALSE(FileExists(root_ + L"\\nomain\\SetupPacket.7z"));
}

TEST_F(ExtractPayload, ForeignMappingOfThePacketNameIsNeverRead) {
  // Another process got "_MAP_NAME_" first and put a packet of its own in it.
  const std::vector<uint8_t> foreign = MakePacket({{"KeloBrowser.exe", "not ours"}, {"Planted.dll", "evil"}});
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, kPacketMappingName);
  ASSERT_NE(mapping, nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  memcpy(view, foreign.data(), foreign.size());

  const std::wstring dir = root_ + L"\\mapped";
  const StepResult step = RunStep(dir + L"\\");
  ASSERT_EQ(step.result, 1) << "error " << step.error;
  ExpectFiles(ListFiles(dir), StagedPayload());
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

TEST_F(ExtractPayload, UnwritableNewDirectoryReportsTheShellError) {
  // Drive Q: does not exist in the test prefix.
  const StepResult step = RunStep(L"Q:\\nowhere\\KeloBrowser\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_NE(step.error, 0u);
  const StepResult too_long = RunStep(root_ + L"\\" + std::wstring(250, L'x') + L"\\");
  EXPECT_EQ(too_long.result, 0);
  EXPECT_EQ(too_long.error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(ListFiles(root_).empty());
}

TEST_F(ExtractPayload, WriteArchiveFilesTakesPathsUpTo259Characters) {
  const std::wstring dest = root_ + L"\\" + std::wstring(200 - root_.size(), L'p') + L"\\";
  for (size_t path_chars : {259u, 260u}) {
    const size_t name_chars = path_chars - dest.size();
    const std::string name = std::string(name_chars - 4, 'n') + ".txt";
    std::vector<ArchiveEntry> entries = {{"first.txt", {'1'}}, {name, {'2'}}};
    const std::vector<uint8_t> archive = BuildArchive(entries);
    SetLastError(0);
    const bool written = WriteArchiveFiles(archive.data(), archive.size(), dest);
    const DWORD error = GetLastError();
    const bool fits = dest.size() + name_chars <= 259;
    EXPECT_EQ(written, fits) << dest.size() + name_chars << " characters";
    if (!fits) {
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    }
    EXPECT_EQ(FileExists(dest + L"first.txt"), fits) << "nothing is written before every path is known to fit";
    RemoveTree(dest.substr(0, dest.size() - 1));
  }
}

TEST_F(ExtractPayload, WriteArchiveFilesFailsAtAFileItCannotOpen) {
  const std::wstring dest = root_ + L"\\blocked\\";
  CreateDirectoryW((root_ + L"\\blocked").c_str(), nullptr);
  CreateDirectoryW((dest + L"second.txt").c_str(), nullptr);  // a folder where a file must go
  const std::vector<uint8_t> archive =
      BuildArchive({{"first.txt", {'1'}}, {"second.txt", {'2'}}, {"third.txt", {'3'}}});
  EXPECT_FALSE(WriteArchiveFiles(archive.data(), archive.size(), dest));
  EXPECT_EQ(ReadBytes(dest + L"first.txt"), "1");
  EXPECT_FALSE(FileExists(dest + L"third.txt"));
}

// What the fixture script made on the Linux side: a 2 MB disk, and a folder whose entries
// are symbolic links out of it. Empty when the test runs without the fixture.
std::string FixtureDir() {
  char buffer[MAX_PATH] = {};
  return GetEnvironmentVariableA("KELO_EXTRACT_FIXTURE", buffer, MAX_PATH) ? buffer : "";
}

std::wstring FixturePath(const char* relative) { return HostPath((FixtureDir() + relative).c_str()); }

#define REQUIRE_FIXTURE()                                                                        \
  if (FixtureDir().empty() || !FileExists(FixturePath("/ready")))                                \
  GTEST_SKIP() << "needs extract_fixture.sh, which ctest runs first (KELO_EXTRACT_FIXTURE)"

TEST_F(ExtractPayload, ClearingNeverFollowsALinkOutOfTheInstallation) {
  REQUIRE_FIXTURE();
  const std::wstring dir = FixturePath("/linked");
  const std::wstring outside = FixturePath("/outside");
  WriteBytes(dir + L"\\KeloBrowser.exe", "old main program");
  const Files before = ListFiles(outside);
  ASSERT_FALSE(before.empty());
  EXPECT_TRUE(ClearInstallDir(dir + L"\\"));
  EXPECT_FALSE(FileExists(dir + L"\\KeloBrowser.exe"));
  EXPECT_FALSE(FileExists(dir + L"\\Skin\\old.png"));
  ExpectFiles(ListFiles(outside), before);
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

TEST_F(SmallDisk, PacketThatCannotBeWrittenCompletelyFailsTheStep) {
  REQUIRE_SMALL_DISK();
  ASSERT_GT(DemoPacket().size(), 40000u);
  Fill(16 * 1024);
  const StepResult step = RunStep(disk_ + L"\\install\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(ListFiles(disk_ + L"\\install").empty()) << "the partial packet is removed";
}

TEST_F(SmallDisk, DiskFillingUpDuringExtractionFailsTheStep) {
  REQUIRE_SMALL_DISK();
  // A few kilobytes of packet that unpack to more than the disk holds.
  PacketModule module(MakePacket({{"KeloBrowser.exe", "MZ"}, {"Lib\\big.dat", Pattern(3 << 20, 7)}}));
  const StepResult step = RunStep(disk_ + L"\\install\\");
  EXPECT_EQ(step.result, 0);
  EXPECT_EQ(step.error, static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(FileExists(disk_ + L"\\install\\SetupPacket.7z"));
}

}  // namespace
}  // namespace kelo
