// The install steps: one flat table, and one thin adapter per step that hands the logic
// object's directory and flags to the unit doing the work.
#include <objbase.h>
#include <shlwapi.h>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "setup/extract_payload.h"
#include "setup/setup_logic.h"
#include "sysreg/identity.h"
#include "sysreg/launch.h"
#include "sysreg/shortcuts.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

const InstallStep CSetupLogic::kStepTable[kStepTableSize] = {
    {kStepExtractPayload, &CSetupLogic::StepExtractPayload},
    {kStepRegisterUninstall, &CSetupLogic::StepRegisterUninstall},
    {kStepReserved, &CSetupLogic::StepReserved},
    {kStepDefaultBrowser, &CSetupLogic::StepDefaultBrowser},
    {kStepShortcuts, &CSetupLogic::StepShortcuts},
    {kStepAssistShortcut, &CSetupLogic::StepAssistShortcut},
    {kStepTaskbarPin, &CSetupLogic::StepTaskbarPin},
    {kStepLaunch, &CSetupLogic::StepLaunch},
    {kStepStopRunning, &CSetupLogic::StepStopRunning},
    {kStepIdentity, &CSetupLogic::StepIdentity},
};

// As the log tells them: a step's "done" must not claim more than it did. The installer
// does not make the browser the default, and the system does not say whether a pin took.
const wchar_t* StepName(uint32_t id) {
  static const wchar_t* const kNames[kStepTableSize] = {L"extract payload",
                                                        L"uninstall entry",
                                                        L"reserved",
                                                        L"default browser: left as it is",
                                                        L"start-menu shortcuts; start pin asked for, unconfirmed",
                                                        L"desktop shortcut",
                                                        L"quick-launch shortcut; taskbar pin asked for, unconfirmed",
                                                        L"first launch",
                                                        L"stop the running browser",
                                                        L"identity and channel"};
  return id < kStepTableSize ? kNames[id] : L"unknown";
}

int CSetupLogic::StepExtractPayload() {
  // The window hears how far the files are, no oftener than it can use.
  ULONGLONG last_post = 0;
  HWND window = notify_window_;
  auto progress = [&last_post, window](uint64_t done, uint64_t total) {
    const ULONGLONG now = GetTickCount64();
    if (total == 0 || (now - last_post < kProgressPeriodMs && done < total)) return;
    last_post = now;
    PostMessageW(window, WM_SETUP_PROGRESS, static_cast<WPARAM>(done * 1000 / total), 0);
  };
  std::wstring why;
  if (ExtractPayload(install_dir_, progress, &payload_damaged_, &folder_hold_, &why)) return 1;
  log_.Line(L"step " + std::to_wstring(kStepExtractPayload) + L": " + why);  // keeps the last error
  return 0;
}

int CSetupLogic::StepRegisterUninstall() {
  // The entry names one installation: one in another folder stays whole, with its Data,
  // where the entry no longer leads (nor, after their steps, the shortcuts). Support looks
  // there for a profile the user misses.
  std::wstring recorded;
  bool elsewhere = false;
  {
    NoDiskBoxesOnThisThread quiet;
    elsewhere = ReadInstallLocation(&recorded) == ERROR_SUCCESS && !recorded.empty() &&
                !SamePath(recorded, install_dir_) && PathFileExistsW(ChildPath(recorded, kBrowserExe).c_str());
  }
  if (!WriteUninstallEntry(install_dir_)) return 0;
  if (elsewhere) log_.Line(L"the earlier installation in " + recorded + L" stays there, no longer the registered one");
  return 1;
}

int CSetupLogic::StepReserved() { return 1; }

// The product does not register itself as the default browser; the option is kept so
// the window's choice still has a place in the schedule.
int CSetupLogic::StepDefaultBrowser() { return 1; }

int CSetupLogic::StepShortcuts() { return MakeProgramShortcuts(install_dir_, GetOsVersionCode()) ? 1 : 0; }

int CSetupLogic::StepAssistShortcut() { return MakeDesktopShortcut(install_dir_) ? 1 : 0; }

int CSetupLogic::StepTaskbarPin() { return MakeQuickLaunchShortcut(install_dir_, GetOsVersionCode()) ? 1 : 0; }

int CSetupLogic::StepLaunch() { return LaunchBrowser(install_dir_, new_user == 1) ? 1 : 0; }

int CSetupLogic::StepStopRunning() {
  NoDiskBoxesOnThisThread quiet;  // the recorded folder may be on a card that is out
  std::wstring location;
  const LONG read = ReadInstallLocation(&location);
  if (read != ERROR_SUCCESS) {
    SetLastError(read);
    return 0;
  }
  return StopInstalledPrograms(location) ? 1 : 0;
}

// The channel is read from the installer's own file name.
int CSetupLogic::StepIdentity() {
  std::wstring unwritten;
  if (!RecordIdentity(install_dir_, OwnModuleFileName(), CoCreateGuid, &new_user, &unwritten)) return 0;
  if (!unwritten.empty()) log_.Line(L"step " + std::to_wstring(kStepIdentity) + L": not written: " + unwritten);
  return 1;
}

}  // namespace kelo
