// The installer's entry point: one copy per logon session, the window and its message
// loop, and an orderly end that waits for the install worker.
#include <windows.h>

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

// Waits for a running install, then takes the logic object and the window context down.
void ShutDown() {
  kelo::CSetupLogic::GetInstance()->WaitForWorker();
  kelo::CSetupLogic::DestroyInstance();
  if (kelo::CSetupUI* ui = kelo::GetUI()) ui->DestroyUI();
  kelo::DeleteUI();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kelo::RestrictDllSearchToSystem32();
  kelo::SetModuleInstance(instance);

  CAutoMutex single_instance(CreateMutexW(nullptr, TRUE, kelo::kSetupMutexName));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    RaiseRunningCopy();
    return 0;
  }
  SetErrorMode(SEM_NOOPENFILEERRORBOX);
  kelo::RegKey compatibility;
  MarkCompatibilityKnown(&compatibility);

  // Without a window there is no WM_QUIT to carry an exit code; the run failed.
  int exit_code = kelo::kExitNoWindow;
  kelo::CSetupUI* ui = kelo::GetUI();
  if (ui) ui->InitUIResources();
  if (ui && kelo::CreateMainWindow(kelo::CSetupLogic::GetInstance())) {
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0 && got != -1) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    exit_code = got == 0 ? static_cast<int>(message.wParam) : kelo::kExitNoWindow;
  }
  ShutDown();
  compatibility.Close();
  single_instance.Close();
  return exit_code;
}
