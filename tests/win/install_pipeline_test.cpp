// A whole installation as the window starts it (steps 0, 1, 9, 4, 5, 6, 7 on the worker),
// then a second one over it, checked from the outside: files, registry, ini, shortcuts
// and the browser that was started.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg_scratch.h"

namespace kelo {
namespace {

using test::HoldsString;
using test::ReadShortcut;
using test::ScratchDir;
using Report = std::pair<WPARAM, LPARAM>;

constexpr wchar_t kDemoClass[] = L"KeloDemoBrowser";

std::wstring StoredIdentity() {
  std::wstring text = test::ReadValue(kIdentityKey, kIdentityValue).Text();
  if (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

// Every file of the staged payload, as paths relative to its root.
void ListFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(root, relative + name + L"\\", files);
    else
      files->push_back(relative + name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

class InstallPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelo");
    test::RedirectDesktop(desktop_.path());
    window_ = CreateWindowExW(0, L"STATIC", L"pipeline", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    stage_ = test::HostPath(KELO_PAYLOAD_STAGE);
    ListFiles(stage_, L"", &payload_);
    ASSERT_FALSE(payload_.empty()) << "no staged payload at " << KELO_PAYLOAD_STAGE;
  }
  void TearDown() override {
    DestroyWindow(window_);
    test::EndProcessesNamed(kBrowserExe);
  }

  // Runs the scheduled steps on the worker, as the window's install command does, and
  // returns what reached the window.
  std::vector<Report> Run(CSetupLogic& logic) {
    EXPECT_TRUE(logic.StartWorker(window_));
    EXPECT_TRUE(logic.WaitForWorker(60000, nullptr));
    std::vector<Report> reports;
    MSG msg;
    while (PeekMessageW(&msg, window_, WM_SETUP_STEP, WM_SETUP_STEP, PM_REMOVE))
      reports.emplace_back(msg.wParam, msg.lParam);
    return reports;
  }

  // What one installation into `dir` must have left, for a new or a returning user.
  void ExpectInstalled(const std::wstring& dir, bool new_user) {
    for (const std::wstring& file : payload_) {
      // The statistics file gains the identity step's keys.
      if (file == kStatIni) continue;
      EXPECT_TRUE(test::ReadFileBytes(dir + file, "<missing>") == test::ReadFileBytes(stage_ + L"\\" + file))
          << testing::PrintToString(file);
    }

    EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayName", kProductName));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"UninstallString", L"\"" + dir + kUninstallExe + L"\""));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayIcon", dir + kBrowserExe));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"DisplayVersion", L"2.0"));
    EXPECT_TRUE(HoldsString(kUninstallKey, L"InstallLocation", dir));

    const std::wstring identity = StoredIdentity();
    EXPECT_EQ(identity.size(), 39u);
    EXPECT_EQ(identity.substr(37), L"} ");
    // The channel of this program's own name, "install_pipeline_test.exe".
    EXPECT_EQ(test::IniValue(dir + kStatIni, kStatSection, L"ChannelId"), L"pipeline_test");
    EXPECT_EQ(test::IniValue(dir + kStatIni, kStatSection, L"IsNewUser"), new_user ? L"1" : L"0");
    // What the payload brought in the file stays.
    EXPECT_EQ(test::IniValue(dir + kStatIni, kStatSection, L"Version"), L"2.0.15.3");

    const std::wstring browser = dir + kBrowserExe;
    const std::wstring programs = test::ShellFolder(CSIDL_PROGRAMS);
    const std::wstring quick_launch = test::ShellFolder(CSIDL_APPDATA) + L"\\Microsoft\\Internet Explorer\\Quick Launch\\";
    const std::pair<std::wstring, std::wstring> links[] = {
        {programs + L"\\Kelo游戏浏览器.lnk", browser},
        {programs + L"\\Kelo软件中心\\Kelo游戏浏览器\\Kelo游戏浏览器.lnk", browser},
        {programs + L"\\Kelo软件中心\\Kelo游戏浏览器\\卸载Kelo游戏浏览器.lnk", dir + kUninstallExe},
        {desktop_.dir() + L"Kelo游戏辅助.lnk", browser},
        {quick_launch + L"Kelo游戏浏览器.lnk", browser},
    };
    for (const auto& [file, target] : links) {
      const test::Shortcut link = ReadShortcut(file);
      EXPECT_TRUE(link.loaded) << testing::PrintToString(file);
      EXPECT_EQ(link.target, target) << testing::PrintToString(file);
    }

    // The browser started from the install directory, with "-Setup" only the first time.
    const std::wstring title = new_user ? L"KeloBrowser [-Setup]" : L"KeloBrowser []";
    const HWND window = test::WaitForWindow(kDemoClass, [](const std::wstring&, HWND) { return true; });
    ASSERT_NE(window, nullptr) << "the browser was not started";
    wchar_t shown[256] = {};
    GetWindowTextW(window, shown, 256);
    EXPECT_EQ(std::wstring(shown), title);
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                                 FALSE, id);
    ASSERT_NE(process, nullptr);
    wchar_t module[MAX_PATH + 1] = {};
    GetModuleFileNameExW(process, nullptr, module, MAX_PATH + 1);
    EXPECT_EQ(lstrcmpiW(module, browser.c_str()), 0) << testing::PrintToString(std::wstring(module));
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }

  test::ComScope com_;
  ScratchDir desktop_{L"desk"};
  HWND window_ = nullptr;
  std::wstring stage_;
  std::vector<std::wstring> payload_;
};

const std::vector<Report> kAllSucceeded = {{0, 0}, {1, 0}, {9, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}};

TEST_F(InstallPipelineTest, InstallsFromThePacketThenReinstallsForAReturningUser) {
  ScratchDir root(L"Kelo Games");
  const std::wstring typed = root.dir() + L"KeloBrowser";  // does not exist yet
  const std::wstring dir = typed + L"\\";
  const InstallOptions options{false, true, true, false};

  CSetupLogic first;
  first.SetInstallDir(typed.c_str());
  first.ScheduleInstall(options);
  ASSERT_EQ(Run(first), kAllSucceeded);
  ExpectInstalled(dir, true);
  const std::wstring identity = StoredIdentity();

  CSetupLogic second;
  second.SetInstallDir(typed.c_str());
  second.ScheduleInstall(options);
  ASSERT_EQ(Run(second), kAllSucceeded);
  ExpectInstalled(dir, false);
  EXPECT_EQ(StoredIdentity(), identity);
}

// The same installation with the files put in place by copying the staged payload, so the
// registration steps are checked whatever the state of extraction.
TEST_F(InstallPipelineTest, RegistersACopiedPayloadThenReinstallsForAReturningUser) {
  ScratchDir root(L"Kelo Games");
  const std::wstring dir = root.Make(L"KeloBrowser") + L"\\";
  test::CopyTree(stage_, root.path() + L"\\KeloBrowser");
  std::wstring identity;
  for (bool new_user : {true, false}) {
    SCOPED_TRACE(new_user ? "first installation" : "second installation");
    CSetupLogic logic;
    logic.SetInstallDir(dir.c_str());
    for (StepId id : {kStepRegisterUninstall, kStepIdentity, kStepShortcuts, kStepAssistShortcut, kStepTaskbarPin,
                      kStepLaunch})
      ASSERT_TRUE(logic.AddStep(CSetupLogic::kStepTable[id]));
    ASSERT_EQ(Run(logic), (std::vector<Report>{{1, 0}, {9, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}}));
    ExpectInstalled(dir, new_user);
    if (new_user) identity = StoredIdentity();
  }
  EXPECT_EQ(StoredIdentity(), identity);
}

}  // namespace
}  // namespace kelo
