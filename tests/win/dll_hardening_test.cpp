// The installer usually runs from a downloads folder. A DLL planted there must never be
// loaded: the program binds only DLLs the system always takes from System32, loads the
// others (GDI+, version information) from System32 explicitly, and has any DLL loaded by
// name (as the system's own DLLs load theirs) looked for in System32 only: the running
// programs are made to load one by name, and a probe checks the restriction as Windows
// versions without the search flags get it. The planted-folder cases use
// gdiplus.dll, but for the restriction as Windows 7 without its loader update gets it, which
// only loads the system's libraries from System32 up front: its probe asks for version.dll,
// one of those.
#include <gtest/gtest.h>
#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pe_image.h"
#include "process_window.h"
#include "sysreg_scratch.h"

namespace {

using kelo::test::Widen;  // the build's paths are UTF-8 (a folder named in Chinese, say)

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

TEST(DllHardening, BindsOnlyDllsTheSystemAlwaysTakesFromSystem32) {
  const char* const known[] = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
                               "shlwapi.dll",  "ole32.dll",  "oleaut32.dll", "ws2_32.dll",  "msvcrt.dll"};
  const kelo::test::PeImage image = kelo::test::ReadPeImage(KELO_SETUP_EXE);
  ASSERT_TRUE(image.valid) << KELO_SETUP_EXE;
  ASSERT_FALSE(image.imported_dlls.empty());
  for (const std::string& dll : image.imported_dlls) {
    EXPECT_NE(std::find(std::begin(known), std::end(known), Lower(dll)), std::end(known))
        << dll << " is bound at load time and would be looked up in the program's folder";
  }
  EXPECT_TRUE(image.delay_imported_dlls.empty());
}

// Started from a share or a removable drive, the program is copied to the swap file first:
// it reads its payload from its own image, whose pages must not become unreadable part way
// through an install. The flags change the header, whose checksum must still hold.
TEST(DllHardening, RunsFromTheSwapFileWhenStartedFromAShareOrARemovableDrive) {
  const kelo::test::PeImage image = kelo::test::ReadPeImage(KELO_SETUP_EXE);
  ASSERT_TRUE(image.valid) << KELO_SETUP_EXE;
  EXPECT_EQ(image.characteristics & IMAGE_FILE_NET_RUN_FROM_SWAP, IMAGE_FILE_NET_RUN_FROM_SWAP);
  EXPECT_EQ(image.characteristics & IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP, IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP);
  DWORD stated = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(Widen(KELO_SETUP_EXE).c_str(), &stated, &computed),
            static_cast<DWORD>(CHECKSUM_SUCCESS));
  EXPECT_EQ(stated, image.checksum);
  EXPECT_EQ(stated, computed) << "the header's checksum is stale";
}

// Windows 7 has these only with a security update: a program that binds one does not
// start at all where it is missing.
TEST(DllHardening, BindsNothingWindows7LacksWithoutUpdates) {
  const char* const later[] = {"SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory"};
  for (const char* program : {KELO_SETUP_EXE, KELO_DEMO_UNINSTALL}) {
    const kelo::test::PeImage image = kelo::test::ReadPeImage(program);
    ASSERT_TRUE(image.valid) << program;
    ASSERT_NE(std::find(image.imported_functions.begin(), image.imported_functions.end(), "CreateFileW"),
              image.imported_functions.end()) << program;
    for (const char* function : later) {
      EXPECT_EQ(std::find(image.imported_functions.begin(), image.imported_functions.end(), function),
                image.imported_functions.end()) << program << " binds " << function;
    }
  }
}

// A program without a manifest of its own obeys one placed beside it, which may send the
// DLLs it loads by name to that folder: both programs carry theirs, asking for no more
// rights than the user's.
TEST(DllHardening, EachProgramCarriesItsOwnManifest) {
  for (const char* program : {KELO_SETUP_EXE, KELO_DEMO_UNINSTALL}) {
    HMODULE image =
        LoadLibraryExW(Widen(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << program;
    HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
    EXPECT_NE(manifest, nullptr) << program << " carries no manifest";
    if (manifest) {
      const char* text = static_cast<const char*>(LockResource(LoadResource(image, manifest)));
      const std::string xml(text, SizeofResource(image, manifest));
      EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos) << program;
    }
    FreeLibrary(image);
  }
}

// A DLL the system does not have: loaded by its bare name, it is found only where the
// search looks beside the program.
constexpr wchar_t kByNameDll[] = L"kelo_by_name.dll";

// Has the process load `dll` by its bare name, as a DLL of the system's loads what it
// needs; whether it got a module. A load that could not be asked for fails the test.
bool LoadsByName(HANDLE process, const wchar_t* dll) {
  const SIZE_T size = (wcslen(dll) + 1) * sizeof(wchar_t);
  void* remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  const bool written = remote && WriteProcessMemory(process, remote, dll, size, nullptr);
  EXPECT_TRUE(written) << "the name could not be put into the process: " << GetLastError();
  if (!written) return false;
  // kernel32 lies at the same address in every process of a session.
  auto* load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, load, remote, 0, nullptr);
  EXPECT_NE(thread, nullptr) << GetLastError();
  if (!thread) return false;
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  DWORD module = 0;  // the low half of the module's address
  EXPECT_TRUE(GetExitCodeThread(thread, &module)) << GetLastError();
  CloseHandle(thread);
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return module != 0;
}

// A downloads folder holding the program and the planted DLLs.
class PlantedFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"kelo-downloads-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(dir_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(Widen(KELO_PLANTED_GDIPLUS_DLL).c_str(), (dir_ + L"gdiplus.dll").c_str(), FALSE));
  }
  void TearDown() override {
    for (const wchar_t* name :
         {L"gdiplus.dll", L"gdiplus.dll.loaded", L"version.dll", L"version.dll.loaded", L"KeloSetup.exe",
          L"KeloUninstall.exe", L"dll_probe.exe", L"restricted_probe.exe", kByNameDll, L"kelo_by_name.dll.loaded"})
      DeleteFileW((dir_ + name).c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  std::wstring Copy(const char* program) {
    const std::wstring source = Widen(program);
    const std::wstring target = dir_ + source.substr(source.find_last_of(L"\\/") + 1);
    EXPECT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << program;
    return target;
  }

  // CTest runs this test with Wine told to prefer DLLs found beside a program over its own
  // (KELO_DLLOVERRIDES), and the programs started here inherit that.
  PROCESS_INFORMATION Start(const std::wstring& program, const std::wstring& arguments = L"") {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    EXPECT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(),
                               &startup, &process));
    return process;
  }

  bool Loaded(const wchar_t* dll) { return GetFileAttributesW((dir_ + dll + L".loaded").c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::wstring dir_;
};

TEST_F(PlantedFolder, ACarelessProgramPicksUpThePlantedDll) {
  PROCESS_INFORMATION probe = Start(Copy(KELO_DLL_PROBE_EXE));
  ASSERT_EQ(WaitForSingleObject(probe.hProcess, 30000), WAIT_OBJECT_0);
  CloseHandle(probe.hThread);
  CloseHandle(probe.hProcess);
  EXPECT_TRUE(Loaded(L"gdiplus.dll")) << "the planted DLL was not loaded: this setting proves nothing";
}

// What the installer and the uninstaller set first: a DLL loaded by its bare name (as the
// system's own DLLs load theirs) then comes from System32 only.
TEST_F(PlantedFolder, TheSearchRestrictionPassesOverThePlantedDll) {
  PROCESS_INFORMATION probe = Start(Copy(KELO_RESTRICTED_PROBE_EXE));
  ASSERT_EQ(WaitForSingleObject(probe.hProcess, 30000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  GetExitCodeProcess(probe.hProcess, &exit_code);
  CloseHandle(probe.hThread);
  CloseHandle(probe.hProcess);
  EXPECT_EQ(exit_code, 0u) << "the system's gdiplus.dll was not loaded";
  EXPECT_FALSE(Loaded(L"gdiplus.dll"));
}

// Windows 7 without its loader update searches a program's own folder first whatever it
// sets: the system's libraries, loaded from System32 at once, are then found loaded.
TEST_F(PlantedFolder, WithoutTheLoaderUpdateTheSystemsLibrariesAreFoundLoaded) {
  ASSERT_TRUE(CopyFileW(Widen(KELO_PLANTED_GDIPLUS_DLL).c_str(), (dir_ + L"version.dll").c_str(), FALSE));
  const std::wstring probe_exe = Copy(KELO_RESTRICTED_PROBE_EXE);
  for (const bool restricted : {false, true}) {
    SCOPED_TRACE(restricted ? "restricted" : "bare");
    PROCESS_INFORMATION probe = Start(probe_exe, restricted ? L"without-update" : L"bare");
    ASSERT_EQ(WaitForSingleObject(probe.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(probe.hThread);
    CloseHandle(probe.hProcess);
    // Without the libraries loaded first, the planted one is taken: the setting proves something.
    EXPECT_EQ(Loaded(L"version.dll"), !restricted);
    DeleteFileW((dir_ + L"version.dll.loaded").c_str());
  }
}

TEST_F(PlantedFolder, TheInstallerLoadsNoPlantedDll) {
  PROCESS_INFORMATION setup = Start(Copy(KELO_SETUP_EXE));
  // The installer shows its window and waits for the user; close it once it is up.
  HWND window = nullptr;
  for (int i = 0; i < 300 && !window; ++i) {
    if (WaitForSingleObject(setup.hProcess, 50) == WAIT_OBJECT_0) break;
    window = FindWindowW(nullptr, L"Kelo游戏浏览器安装/卸载程序");
  }
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  const DWORD waited = WaitForSingleObject(setup.hProcess, 20000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(setup.hProcess, 1);
  DWORD exit_code = 1;
  GetExitCodeProcess(setup.hProcess, &exit_code);
  CloseHandle(setup.hThread);
  CloseHandle(setup.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_FALSE(Loaded(L"gdiplus.dll"));
}

// What the installer and the uninstaller set first, checked in the programs themselves:
// once they run, a DLL loaded by its bare name is not taken from their folder.
TEST_F(PlantedFolder, TheProgramsLoadNothingByNameFromTheirFolder) {
  ASSERT_TRUE(CopyFileW(Widen(KELO_PLANTED_GDIPLUS_DLL).c_str(), (dir_ + kByNameDll).c_str(), FALSE));
  // The uninstaller, with no installation beside it, says so in a box and changes nothing.
  for (const char* program : {KELO_SETUP_EXE, KELO_DEMO_UNINSTALL}) {
    SCOPED_TRACE(program);
    PROCESS_INFORMATION process = Start(Copy(program));
    HWND window = nullptr;
    for (int i = 0; i < 600 && !window; ++i) {
      if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
      window = kelo::test::VisibleWindowOf(process.dwProcessId);
    }
    EXPECT_NE(window, nullptr) << "no window came up";
    if (window) {
      EXPECT_FALSE(LoadsByName(process.hProcess, kByNameDll));
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_FALSE(Loaded(kByNameDll));
  }
}

}  // namespace
