#pragma once
// The single-instance mutex is also the lock on the installation: the setup program and its
// uninstaller (and the uninstaller's finishing copy) never change it at the same time.
#include <windows.h>

#include "base/product.h"

namespace kelo {

// How long /S waits for another copy to let the lock go: an uninstaller's finishing copy,
// woken by the uninstaller's end, holds it for moments, just when a script's next step
// starts the setup program or another uninstaller.
constexpr DWORD kSilentLockWaitMs = 5000;

// Creates the mutex, owned; `*another_copy` tells whether another copy already has it. A copy
// running with other rights (elevated, say) can leave it unopenable: null, and counted as
// running too.
inline HANDLE CreateSetupMutex(bool* another_copy) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kSetupMutexName);
  *another_copy = !mutex || GetLastError() == ERROR_ALREADY_EXISTS;
  return mutex;
}

// Waits up to kSilentLockWaitMs for the copy that has `mutex` to let it go; true when this
// process has it then.
inline bool TakeOverSetupMutex(HANDLE mutex) {
  const DWORD waited = mutex ? WaitForSingleObject(mutex, kSilentLockWaitMs) : WAIT_FAILED;
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

}  // namespace kelo
