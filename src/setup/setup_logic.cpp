#include "setup/setup_logic.h"

#include <objbase.h>
#include <process.h>

#include "base/file_paths.h"
#include "base/product.h"
#include "setup/extract_payload.h"

namespace kelo {

namespace {
CSetupLogic* g_logic = nullptr;
}

CSetupLogic* CSetupLogic::GetInstance() {
  if (!g_logic) g_logic = new CSetupLogic();
  return g_logic;
}

void CSetupLogic::DestroyInstance() {
  delete g_logic;
  g_logic = nullptr;
}

CSetupLogic::CSetupLogic() = default;

CSetupLogic::~CSetupLogic() {
  // Left behind by older installers. Without an install directory there is nothing of
  // ours to remove, and a bare name would hit whatever the current directory holds.
  if (!install_dir_.empty()) DeleteFileW((install_dir_ + kLegacyPacketFileName).c_str());
}

bool CSetupLogic::StartInstall(const wchar_t* dir, const InstallOptions& options, HWND window) {
  // A failed run has posted its last report; its thread is ending, if not ended, and the
  // new run must not share the step list with it.
  WaitForWorker();
  SetInstallDir(dir);
  // A worker that could not start left its steps behind.
  step_count_ = 0;
  ScheduleInstall(options);
  OpenLog(L"installing into " + install_dir_);
  log_.Line(std::wstring(L"options: default browser ") + (options.default_browser ? L"yes" : L"no") +
            L", desktop shortcut " + (options.desktop_shortcut ? L"yes" : L"no") + L", taskbar " +
            (options.taskbar_pin ? L"yes" : L"no") + L", stop the running browser first " +
            (options.stop_running_first ? L"yes" : L"no"));
  run_failed_ = false;
  failure_error_ = 0;
  payload_damaged_ = false;
  if (StartWorker(window)) return true;
  run_failed_ = true;
  failure_error_ = GetLastError();
  log_.Finish(L"failed, the install worker could not be started, error " + ErrorCodeText(failure_error_));
  return false;
}

void CSetupLogic::LogRefused(const std::wstring& why, bool only_where_named) {
  OpenLog(why, /*fall_back=*/!only_where_named);
  log_.Finish(L"failed");
}

void CSetupLogic::OpenLog(const std::wstring& what, bool fall_back) {
  // Not into the install directory: held open there, the log is a file of nobody's that
  // the install would have to clear or keep.
  const bool in_install_dir = !log_path_.empty() && !install_dir_.empty() && IsWithinPath(log_path_, install_dir_);
  log_.Open(log_path_.empty() || in_install_dir ? DefaultLogPath() : log_path_, fall_back);
  log_.Line(std::wstring(L"KeloSetup ") + KELO_SETUP_VERSION + L", " + what);
  if (in_install_dir) log_.Line(L"the log is not written into the install directory, \"" + log_path_ + L"\": it is here");
}

void CSetupLogic::WaitForWorker() { WaitForWorker(INFINITE, nullptr); }

bool CSetupLogic::WaitForWorker(DWORD timeout_ms, DWORD* exit_code) {
  if (!worker_thread_.IsValid()) return true;
  const DWORD waited = WaitForSingleObject(worker_thread_.Get(), timeout_ms);
  if (waited != WAIT_OBJECT_0) {
    if (waited != WAIT_TIMEOUT) SetLastError(waited);
    return false;
  }
  if (exit_code) GetExitCodeThread(worker_thread_.Get(), exit_code);
  worker_thread_.Reset();
  return true;
}

void CSetupLogic::SetInstallDir(const wchar_t* text) {
  if (!text) return;
  install_dir_ = text;
  if (install_dir_.empty() || (install_dir_.back() != L'\\' && install_dir_.back() != L'/'))
    install_dir_ += L'\\';
}

bool CSetupLogic::AddStep(const InstallStep& step) {
  if (step_count_ >= kMaxInstallSteps) return false;
  steps_[step_count_++] = step;
  return true;
}

void CSetupLogic::ScheduleInstall(const InstallOptions& options) {
  // A damaged installer, or one that cannot understand the installation's records, installs
  // nothing, so it ends no running browser either: step 0 tells why.
  const auto damaged = [] {
    const uint8_t* packet = nullptr;
    size_t packet_size = 0;
    return !FindPayloadPacket(&packet, &packet_size) && GetLastError() == ERROR_FILE_CORRUPT;
  };
  if (options.stop_running_first && !damaged() && !HoldsUnreadableRecord(install_dir_))
    AddStep(kStepTable[kStepStopRunning]);
  AddStep(kStepTable[kStepExtractPayload]);
  AddStep(kStepTable[kStepRegisterUninstall]);
  AddStep(kStepTable[kStepIdentity]);
  if (options.default_browser) AddStep(kStepTable[kStepDefaultBrowser]);
  AddStep(kStepTable[kStepShortcuts]);
  if (options.desktop_shortcut) AddStep(kStepTable[kStepAssistShortcut]);
  if (options.taskbar_pin) AddStep(kStepTable[kStepTaskbarPin]);
  AddStep(kStepTable[kStepLaunch]);
}

bool CSetupLogic::StartWorker(HWND window) {
  notify_window_ = window;
  const uintptr_t thread = _beginthreadex(nullptr, 0, &CSetupLogic::RunInstallSteps, this, 0, nullptr);
  worker_thread_.Reset(reinterpret_cast<HANDLE>(thread));
  return worker_thread_.IsValid();
}

unsigned __stdcall CSetupLogic::RunInstallSteps(void* param) {
  auto* logic = static_cast<CSetupLogic*>(param);
  if (!logic) return ERROR_INVALID_PARAMETER;
  // The shortcut steps create shell-link objects, which need COM on this thread.
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  logic->failure_error_ = 0;
  logic->payload_damaged_ = false;
  const uint32_t count = logic->step_count_;
  bool all_ok = true;
  for (uint32_t i = 0; i < count && all_ok; ++i) {
    const InstallStep& step = logic->steps_[i];
    const ULONGLONG start = GetTickCount64();
    SetLastError(ERROR_SUCCESS);
    all_ok = (logic->*step.function)() != 0;
    if (!all_ok) logic->failure_error_ = GetLastError();
    logic->log_.Line(L"step " + std::to_wstring(step.id) + L" (" + StepName(step.id) + L"): " +
                     (all_ok ? L"done" : L"failed, error " + ErrorCodeText(logic->failure_error_)) + L", " +
                     std::to_wstring(GetTickCount64() - start) + L" ms");
    // Posted, never sent: the worker must not wait for the window.
    PostMessageW(logic->notify_window_, WM_SETUP_STEP, step.id, all_ok ? 0 : -1);
  }
  logic->folder_hold_.Reset();
  logic->run_failed_ = !all_ok;
  logic->log_.Finish(all_ok ? L"installed" : L"failed");
  logic->step_count_ = 0;
  CoUninitialize();
  return 0;
}

}  // namespace kelo
