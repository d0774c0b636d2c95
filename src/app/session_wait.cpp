#include "app/session_wait.h"

#include <windows.h>

#include "base/module.h"
#include "base/product.h"
#include "ui/window_flow.h"

namespace kelo {

namespace {

LRESULT CALLBACK SessionWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (HandleSessionEnd(CSetupLogic::GetInstance(), window, message, wparam, &result)) return result;
  return DefWindowProcW(window, message, wparam, lparam);
}

// A hidden top-level window, which the system asks before the session ends, as it asks the
// installer's own. The system lets a program without a visible window hold the session back
// only when it has said why beforehand, so the reason is given at once. Null when it cannot
// be made; the wait goes on without it.
HWND CreateSessionWindow() {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = SessionWindowProc;
  window_class.hInstance = ModuleInstance();
  window_class.lpszClassName = kSessionWindowClass;
  if (!RegisterClassW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
  const HWND window = CreateWindowExW(0, kSessionWindowClass, kProductName, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      ModuleInstance(), nullptr);
  if (window) ShutdownBlockReasonCreate(window, kInstallingBlockReason);
  return window;
}

}  // namespace

void WaitForWorkerHoldingSession(CSetupLogic* logic) {
  if (!logic->WorkerThread()) return;
  const HWND window = CreateSessionWindow();
  // The worker's handle is asked for afresh each time: answering a message may have waited
  // for the worker and closed it.
  for (HANDLE worker; (worker = logic->WorkerThread()) != nullptr;) {
    if (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0 + 1) break;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  logic->WaitForWorker();
  if (window) DestroyWindow(window);
}

}  // namespace kelo
