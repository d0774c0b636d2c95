#pragma once
#include <windows.h>

#include <string>

namespace kelo {

// The module whose resources (payload, skin, icon) the program loads. The entry point
// stores it before anything else runs; tests may leave it unset, which means the
// executable itself.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

// Limits DLL lookups to System32 for the rest of the process: the installer usually
// runs from a downloads folder, where a planted DLL must never be picked up. Windows 7
// without its loader update searches the program's folder first all the same: there the
// libraries the system loads by name for a program are loaded from System32 at once, so
// that they are found loaded, not looked for. `as_without_update` does that whatever the
// system has, for tests.
void RestrictDllSearchToSystem32(bool as_without_update = false);

// What the system and the C library do on a failure that would wait for a person: a box
// for a drive without its disk, the crash report, the C++ runtime's "abnormal program
// termination". With nobody at the screen (`unattended`), none is shown: the call fails, a
// crash ends the program, and a C++ failure nothing caught ends it with `unattended_exit`,
// which the caller reads as failed. The modes the starting program asked for are kept.
void ChooseFailureBoxes(bool unattended, int unattended_exit);
// The error mode the program had before ChooseFailureBoxes changed it (the current one
// when it never ran).
UINT StartingErrorMode();

// While it lives, the calling thread's looks at a drive without its disk (a card reader or
// an optical drive left empty) fail at once instead of asking for the disk in the system's
// box: a folder remembered from an earlier run, or typed, may be on one, and the box would
// stand before the window or stop the install until someone answers it.
class NoDiskBoxesOnThisThread {
 public:
  NoDiskBoxesOnThisThread() {
    SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &saved_);
  }
  ~NoDiskBoxesOnThisThread() { SetThreadErrorMode(saved_, nullptr); }
  NoDiskBoxesOnThisThread(const NoDiskBoxesOnThisThread&) = delete;
  NoDiskBoxesOnThisThread& operator=(const NoDiskBoxesOnThisThread&) = delete;

 private:
  DWORD saved_ = 0;
};

// Loads a system DLL from System32 only, never from the program's folder.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Sets `function` to the export `name` of `module` (null when it has none, or no module
// is given); whether there was one.
template <typename F>
bool ResolveFunction(HMODULE module, const char* name, F* function) {
  *function = module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
  return *function != nullptr;
}

// The full path of this program, as the system reports it.
bool OwnModulePath(wchar_t (&path)[MAX_PATH]);
// This program's file name, without its folder. A path too long for the buffer still
// yields the name's beginning.
std::wstring OwnModuleFileName();
// The file's own name, without its folder, where `path` gives its short form
// ("KELOSE~1.EXE": a program started by its short path is told that path as its own).
std::wstring LongFileName(const wchar_t* path);

}  // namespace kelo
