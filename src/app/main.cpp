// The installer's entry point: one copy per logon session, the window and its message
// loop (or, with /S, an install without a window), and an orderly end that waits for the
// install worker.
#include <windows.h>
#include <objbase.h>

#include "app/command_line.h"
#include "app/session_wait.h"
#include "app/setup_mutex.h"
#include "app/silent_install.h"
#include "base/account.h"
#include "base/module.h"
#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"
#include "setup/setup_logic.h"
#include "ui/main_window.h"
#include "ui/setup_ui.h"

namespace {

// Holds the single-instance mutex for the whole run. Ownership ends with the handle (or
// the process), so the mutex is never released explicitly.
class CAutoMutex {
 public:
  explicit CAutoMutex(HANDLE mutex) : mutex_(mutex) {}
  HANDLE Get() const { return mutex_.Get(); }
  void Close() { mutex_.Reset(); }

 private:
  kelo::ScopedHandle mutex_;
};

// Another copy holds the mutex: bring its window to the front and leave everything alone.
void RaiseRunningCopy() {
  HWND window = FindWindowW(nullptr, kelo::kWindowTitle);
  if (!window) return;
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  BringWindowToTop(window);
}

// Tells the Program Compatibility Assistant that this program is known, so it does not
// ask the user whether the installation went well. Only an existing key is used.
void MarkCompatibilityKnown(kelo::RegKey* key) {
  if (key->Open(kelo::kCompatAssistantKey, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) != ERROR_SUCCESS) return;
  wchar_t path[MAX_PATH];
  if (kelo::OwnModulePath(path)) (void)key->WriteDword(path, 1);
}

constexpr wchar_t kUsage[] =
    L"用法: KeloSetup.exe [/S] [/LOG=日志文件] [/D=安装目录]\n\n"
    L"/S\t不显示窗口, 以默认选项安装\n"
    L"/LOG=\t安装日志的位置 (默认为临时文件夹中的 KeloSetup.log)\n"
    L"/D=\t安装目录, 须放在最后, 不加引号";

// Waits for a running install, then takes the logic object and the window context down.
// True when the latest install failed.
bool ShutDown() {
  kelo::CSetupLogic* logic = kelo::CSetupLogic::GetInstance();
  // The window may be gone with the install still running (closed during it, or the
  // finished view with the later steps still to run).
  kelo::WaitForWorkerHoldingSession(logic);
  const bool failed = logic->RunFailed();
  kelo::CSetupLogic::DestroyInstance();
  if (kelo::CSetupUI* ui = kelo::GetUI()) ui->DestroyUI();
  kelo::DeleteUI();
  return failed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kelo::RestrictDllSearchToSystem32();
  kelo::SetModuleInstance(instance);

  wchar_t own_path[MAX_PATH] = {};
  if (!kelo::OwnModulePath(own_path)) own_path[0] = L'\0';
  const kelo::CommandLine command = kelo::ParseCommandLine(GetCommandLineW(), own_path);
  // Without a window nobody answers a box: /S takes the failure instead of waiting for ever
  // (the log may be named on a drive without its disk).
  kelo::ChooseFailureBoxes(command.silent, kelo::kExitInstallFailed);
  if (!command.log_path.empty()) kelo::CSetupLogic::GetInstance()->SetLogPath(command.log_path);
  // An unattended run that ends before it installs says why in the log the command line
  // names: a script reading it must not find an earlier run's outcome there. Not in the
  // default one, which may be the log another copy's failure view shows.
  const auto refuse_silently = [&command](const std::wstring& why, int code) {
    if (command.log_path.empty()) return code;
    kelo::CSetupLogic::GetInstance()->LogRefused(why, /*only_where_named=*/true);
    kelo::CSetupLogic::DestroyInstance();
    return code;
  };
  if (!command.unknown.empty()) {
    if (command.silent) return refuse_silently(L"unknown switch: " + command.unknown, kelo::kExitUsage);
    MessageBoxW(nullptr, kUsage, kelo::kWindowTitle, MB_OK | MB_ICONINFORMATION);
    return kelo::kExitUsage;
  }
  // Run as a service account (a deployment tool's run as SYSTEM), an install would put the
  // browser in that account's profile, where no person finds it, and start it as that
  // account: it does nothing, and says so by its exit code, with or without /S.
  if (kelo::RunsAsServiceAccount())
    return refuse_silently(L"run as a service account, which is no person's: nothing installed",
                           kelo::kExitServiceAccount);
  bool another_copy = false;
  CAutoMutex single_instance(kelo::CreateSetupMutex(&another_copy));
  if (another_copy && command.silent)
    another_copy = !kelo::TakeOverSetupMutex(single_instance.Get());
  if (another_copy) {
    if (command.silent) return refuse_silently(L"another setup program runs", kelo::kExitAlreadyRunning);
    RaiseRunningCopy();
    return 0;
  }
  kelo::RegKey compatibility;
  MarkCompatibilityKnown(&compatibility);

  if (command.silent) {
    const int silent_code = kelo::InstallSilently(command);
    kelo::CSetupLogic::DestroyInstance();
    return silent_code;
  }
  kelo::DecodeFirstViewAhead();
  // Without a window there is no WM_QUIT to carry an exit code; the run failed.
  int exit_code = kelo::kExitNoWindow;
  HRESULT com = E_FAIL;
  kelo::CSetupUI* ui = kelo::GetUI();
  if (ui) ui->InitUIResources();
  if (ui && kelo::CreateMainWindow(kelo::CSetupLogic::GetInstance())) {
    // As the common installer systems take it, /D= also picks the window's directory.
    if (command.dir_given) kelo::ProposeInstallDir(command.dir);
    // The window's thread is a COM apartment of its own: screen readers call into its
    // controls' accessible objects from their process, and the folder picker needs one.
    // Neither can come before the window is up, so the apartment waits for its first paint.
    com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0 && got != -1) {
      if (kelo::HandleWindowKeys(&message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    exit_code = got == 0 ? static_cast<int>(message.wParam) : kelo::kExitNoWindow;
  }
  // The window closed while the install ran (or the finished view closed itself before a
  // later step failed): the worker's outcome decides.
  if (ShutDown() && exit_code == kelo::kExitSuccess) exit_code = kelo::kExitInstallFailed;
  if (SUCCEEDED(com)) CoUninitialize();
  compatibility.Close();
  single_instance.Close();
  return exit_code;
}
