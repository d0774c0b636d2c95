#pragma once
// What the window may ask of the installer: start an install with the user's options, and
// wait for it to end. The installer answers only through WM_SETUP_STEP messages.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelo {

// Posted by the worker after every step: wParam the step id, lParam 0 success, -1 failure.
inline constexpr UINT WM_SETUP_STEP = WM_USER + 521;
// Posted by the worker while the payload is written, at most every kProgressPeriodMs:
// wParam how far, in thousandths.
inline constexpr UINT WM_SETUP_PROGRESS = WM_USER + 522;
inline constexpr DWORD kProgressPeriodMs = 100;

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

// The step's name in the install log ("extract payload", ...).
const wchar_t* StepName(uint32_t id);

// What the user chose in the window when pressing install.
struct InstallOptions {
  bool default_browser = false;
  bool desktop_shortcut = false;
  bool taskbar_pin = false;
  // A copy of the browser from the recorded installation runs: stop it first, as the
  // window's warning promises.
  bool stop_running_first = false;
};

class InstallControl {
 public:
  // Waits for the worker of an earlier, failed run to end, then installs into `dir` with
  // `options` on a new worker thread that posts WM_SETUP_STEP to `window` after each step.
  // False when no worker could be started: then no step runs and no message comes.
  virtual bool StartInstall(const wchar_t* dir, const InstallOptions& options, HWND window) = 0;
  // Blocks until the worker, if one was started, has ended.
  virtual void WaitForWorker() = 0;
  // Whether a worker runs now.
  virtual bool WorkerRunning() = 0;
  // The last error of the step that failed in the latest run (0 when none did); valid once
  // its failure report has arrived.
  virtual DWORD FailureError() const = 0;
  // Whether the latest run failed on the installer's own payload, which did not pass its
  // check (damaged on its way): no advice or retry helps. Valid with FailureError().
  virtual bool PayloadDamaged() const = 0;
  // Where the install log of the latest run is (empty when it could not be written).
  virtual std::wstring LogPath() const = 0;

 protected:
  ~InstallControl() = default;
};

}  // namespace kelo
