#include "app/silent_install.h"

#include <windows.h>

#include "app/session_wait.h"
#include "base/module.h"
#include "base/product.h"
#include "setup/extract_payload.h"
#include "setup/setup_logic.h"
#include "sysreg/install_dir.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

int InstallSilently(const CommandLine& command) {
  std::wstring dir = command.dir;
  // An empty /D= (a script's unset variable) is refused like any other bad directory.
  if (!command.dir_given) DefaultInstallDir(&dir);
  // The same rules as the directory field's; a refusal is logged like a failed step.
  const DirCheck check = ValidateDirText(dir, StagedPayloadReach());
  CSetupLogic* logic = CSetupLogic::GetInstance();
  if (!check.valid) {
    logic->LogRefused(L"directory refused: \"" + dir + L"\": " + check.message + L" (" + check.cause + L")");
    return kExitBadDirectory;
  }
  InstallOptions options;
  options.default_browser = options.desktop_shortcut = options.taskbar_pin = true;
  // A running browser goes on running: nobody saw the warning that the install ends it. Its
  // files in use are moved aside, and the new version runs from its next start. The
  // worker's reports go nowhere; its outcome is the code.
  const bool started = logic->StartInstall(dir.c_str(), options, nullptr);
  if (started) WaitForWorkerHoldingSession(logic);
  if (!started || logic->RunFailed()) return kExitInstallFailed;
  ForgetInstallFailure();
  return kExitSuccess;
}

}  // namespace kelo
