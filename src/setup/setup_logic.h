#pragma once
// The installer's logic object: the install directory, the list of install steps chosen
// by the user's options, and the worker thread that runs them and reports each outcome to
// the main window.
#include <windows.h>

#include <cstdint>
#include <string>

#include "base/win_holders.h"
#include "setup/install_control.h"
#include "setup/install_log.h"

namespace kelo {
class CSetupLogic;
}

using StepFunction = int (kelo::CSetupLogic::*)();

struct InstallStep {
  uint32_t id;
  StepFunction function;
};

namespace kelo {

inline constexpr size_t kMaxInstallSteps = 100;

class CSetupLogic : public InstallControl {
 public:
  static CSetupLogic* GetInstance();
  // Destroys the singleton; the caller has already waited for the worker.
  static void DestroyInstance();

  CSetupLogic();
  virtual ~CSetupLogic();
  CSetupLogic(const CSetupLogic&) = delete;
  CSetupLogic& operator=(const CSetupLogic&) = delete;

  bool StartInstall(const wchar_t* dir, const InstallOptions& options, HWND window) override;
  void WaitForWorker() override;
  bool WorkerRunning() override { return !WaitForWorker(0, nullptr); }
  DWORD FailureError() const override { return failure_error_; }
  bool PayloadDamaged() const override { return payload_damaged_; }
  // Whether the latest run ended in a failed step or never started its worker: the window
  // may be gone before its last report comes, so the exit code is taken from here once
  // WaitForWorker has returned. A failed step need not leave an error code behind.
  bool RunFailed() const { return run_failed_; }
  std::wstring LogPath() const override { return log_.path(); }
  // Where the next install writes its log; DefaultLogPath() unless set.
  void SetLogPath(const std::wstring& path) { log_path_ = path; }
  // The log of a run that refused to install, and why; with `only_where_named`, none when
  // the log the command line names cannot be written (not the default one instead).
  void LogRefused(const std::wstring& why, bool only_where_named = false);
  // The same with a bound: true when no worker runs (any more); `exit_code` may be null.
  bool WaitForWorker(DWORD timeout_ms, DWORD* exit_code);
  // The running worker's thread, to wait on together with messages; null when none was
  // started since the last wait.
  HANDLE WorkerThread() const { return worker_thread_.Get(); }

  // A null text changes nothing; otherwise the directory always ends with "\" or "/".
  void SetInstallDir(const wchar_t* text);
  const std::wstring& InstallDir() const { return install_dir_; }

  // False, and nothing added, when the list is full.
  bool AddStep(const InstallStep& step);
  uint32_t StepCount() const { return step_count_; }
  const InstallStep& StepAt(uint32_t index) const { return steps_[index]; }

  // Appends 0, 1, 9, [3], 4, [5], [6], 7 (with 8 in front when asked to stop a running copy,
  // unless the payload is damaged).
  void ScheduleInstall(const InstallOptions& options);

  // Starts RunInstallSteps on a new thread reporting to `window`; false if the thread
  // could not be started (then no step runs and no message comes).
  bool StartWorker(HWND window);

  // The worker thread procedure; the parameter is the CSetupLogic object.
  static unsigned __stdcall RunInstallSteps(void* logic);

  static const InstallStep kStepTable[kStepTableSize];

  // Steps: nonzero for success; on failure the thread's last error tells why.
  int StepExtractPayload();
  int StepRegisterUninstall();
  int StepReserved();
  int StepDefaultBrowser();
  int StepShortcuts();
  int StepAssistShortcut();
  int StepTaskbarPin();
  int StepLaunch();
  int StepStopRunning();
  int StepIdentity();

  // Written by the identity step, read by the launch step: 1 for a user without an identity.
  int32_t new_user = 0;

 private:
  // Starts the run's log afresh with the installer's version and `what` the run does.
  void OpenLog(const std::wstring& what, bool fall_back = true);

  ScopedHandle worker_thread_;
  // Taken by the payload step and kept to the run's end: an uninstall from another logon
  // session, which the setup programs' lock does not reach, must not remove the files the
  // later steps register, link to and start.
  ScopedHandle folder_hold_;
  HWND notify_window_ = nullptr;
  DWORD failure_error_ = 0;  // written by the worker before it posts the failure
  bool payload_damaged_ = false;  // likewise
  bool run_failed_ = false;  // written by the worker, read once it has ended
  InstallLog log_;
  std::wstring log_path_;
  InstallStep steps_[kMaxInstallSteps] = {};
  uint32_t step_count_ = 0;
  std::wstring install_dir_;
};

}  // namespace kelo
