#pragma once
// The installer's logic object: the install directory, the list of install steps chosen
// by the user's options, and the worker thread that runs them and reports each outcome to
// the main window.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelo {
class CSetupLogic;
}

// Posted by the worker after every step: wParam the step id, lParam 0 success, -1 failure.
inline constexpr UINT WM_SETUP_STEP = WM_USER + 521;

using StepFunction = int (kelo::CSetupLogic::*)();

struct InstallStep {
  uint32_t id;
  StepFunction function;
};

namespace kelo {

enum StepId : uint32_t {
  kStepExtractPayload = 0,
  kStepRegisterUninstall = 1,
  kStepReserved = 2,
  kStepDefaultBrowser = 3,
  kStepShortcuts = 4,
  kStepAssistShortcut = 5,
  kStepTaskbarPin = 6,
  kStepLaunch = 7,
  kStepStopRunning = 8,
  kStepIdentity = 9,
  kStepTableSize = 10,
};

inline constexpr size_t kMaxInstallSteps = 100;

// What the user chose in the window when pressing install.
struct InstallOptions {
  bool default_browser = false;
  bool desktop_shortcut = false;
  bool taskbar_pin = false;
  // A copy of the browser from the recorded installation runs: stop it first, as the
  // window's warning promises.
  bool stop_running_first = false;
};

class CSetupLogic {
 public:
  static CSetupLogic* GetInstance();
  // Destroys the singleton; the caller has already waited for the worker.
  static void DestroyInstance();

  CSetupLogic();
  virtual ~CSetupLogic();
  CSetupLogic(const CSetupLogic&) = delete;
  CSetupLogic& operator=(const CSetupLogic&) = delete;

  // A null text changes nothing; otherwise the directory always ends with "\" or "/".
  void SetInstallDir(const wchar_t* text);
  const std::wstring& InstallDir() const { return install_dir_; }

  // False, and nothing added, when the list is full.
  bool AddStep(const InstallStep& step);
  uint32_t StepCount() const { return step_count_; }
  const InstallStep& StepAt(uint32_t index) const { return steps_[index]; }

  // Appends 0, 1, 9, [3], 4, [5], [6], 7 (with 8 in front when asked to stop a running copy).
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

  HANDLE worker_thread = nullptr;
  HWND notify_window = nullptr;
  // Written by the identity step, read by the launch step: 1 for a user without an identity.
  int32_t new_user = 0;

 private:
  InstallStep steps_[kMaxInstallSteps] = {};
  uint32_t step_count_ = 0;
  std::wstring install_dir_;
};

}  // namespace kelo
