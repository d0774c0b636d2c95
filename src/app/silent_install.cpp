#include "app/silent_install.h"

#include <windows.h>

#include "base/module.h"
#include "base/product.h"
#include "setup/setup_logic.h"
#include "sysreg/install_dir.h"
#include "ui/window_flow.h"

namespace kelo {

namespace {

LRESULT CALLBACK SilentWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (HandleSessionEnd(CSetupLogic::GetInstance(), window, message, wparam, &result)) return result;
  return DefWindowProcW(window, message, wparam, lparam);
}

// A hidden top-level window, which the system asks before the session ends, as it asks the
// installer's own: a logoff does not cut the install short. The system lets a program
// without a visible window hold the session back only when it has said why beforehand, so
// the reason is given at once. Null when it cannot be made; the install goes on without it.
HWND CreateSilentWindow() {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = SilentWindowProc;
  window_class.hInstance = ModuleInstance();
  window_class.lpszClassName = kSilentWindowClass;
  if (!RegisterClassW(&window_class)) return nullptr;
  const HWND window = CreateWindowExW(0, kSilentWindowClass, kProductName, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      ModuleInstance(), nullptr);
  if (window) ShutdownBlockReasonCreate(window, kInstallingBlockReason);
  return window;
}

// Waits for the worker while answering the messages sent to the thread's windows. The
// worker's handle is asked for afresh each time: answering a message may have waited for
// the worker and closed it.
void WaitAnsweringMessages(CSetupLogic* logic) {
  for (HANDLE worker; (worker = logic->WorkerThread()) != nullptr;) {
    if (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0 + 1) break;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  logic->WaitForWorker();
}

}  // namespace

int InstallSilently(const CommandLine& command) {
  std::wstring dir = command.dir;
  // An empty /D= (a script's unset variable) is refused like any other bad directory.
  if (!command.dir_given) DefaultInstallDir(&dir);
  // The same rules as the directory field's; a refusal is logged like a failed step.
  const DirCheck check = ValidateDirText(dir);
  CSetupLogic* logic = CSetupLogic::GetInstance();
  if (!check.valid) {
    logic->LogRefusedDirectory(dir, check.message);
    return kExitBadDirectory;
  }
  InstallOptions options;
  options.default_browser = options.desktop_shortcut = options.taskbar_pin = true;
  // A running browser goes on running: nobody saw the warning that the install ends it. Its
  // files in use are moved aside, and the new version runs from its next start.
  const HWND window = CreateSilentWindow();
  // The worker's reports go nowhere; its outcome is the code.
  const bool started = logic->StartInstall(dir.c_str(), options, nullptr);
  if (started) WaitAnsweringMessages(logic);
  if (window) DestroyWindow(window);
  return started && !logic->RunFailed() ? kExitSuccess : kExitInstallFailed;
}

}  // namespace kelo
