#include "base/module.h"

#include <cwchar>
#include <exception>
#include <optional>

#include "base/win_holders.h"

namespace kelo {

namespace {

HINSTANCE g_instance = nullptr;
std::optional<UINT> g_starting_error_mode;  // noted by ChooseFailureBoxes

// Libraries the system loads by their names on a program's behalf (themes, the shell, COM,
// file versions). One already loaded is taken by its name, wherever a search would look.
constexpr const wchar_t* kLoadedByName[] = {L"uxtheme.dll", L"userenv.dll", L"setupapi.dll", L"apphelp.dll",
                                            L"propsys.dll", L"dwmapi.dll",  L"cryptbase.dll", L"oleacc.dll",
                                            L"clbcatq.dll", L"version.dll"};

}  // namespace

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

HINSTANCE ModuleInstance() { return g_instance ? g_instance : GetModuleHandleW(nullptr); }

void RestrictDllSearchToSystem32(bool as_without_update) {
  // Windows 7 has it only with a security update: bound at load time, it would keep the
  // program from starting at all where that update is missing.
  BOOL(WINAPI* set_default)(DWORD) = nullptr;
  if (ResolveFunction(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", &set_default) &&
      !as_without_update) {
    set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    // The program's own folder is still searched first.
    for (const wchar_t* name : kLoadedByName) LoadSystemLibrary(name);
  }
  // Also drops the current directory from the search of anything loaded without flags.
  SetDllDirectoryW(L"");
}

void ChooseFailureBoxes(bool unattended, int unattended_exit) {
  const UINT starting_mode = GetErrorMode();
  g_starting_error_mode = starting_mode;
  SetErrorMode(starting_mode | SEM_NOOPENFILEERRORBOX |
               (unattended ? SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX : 0));
  if (!unattended) return;
  static int exit_code;
  exit_code = unattended_exit;
  // At once: the other threads are left as they stand, and nothing runs that could wait.
  std::set_terminate([] { TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code)); });
}

UINT StartingErrorMode() { return g_starting_error_mode.value_or(GetErrorMode()); }

HMODULE LoadSystemLibrary(const wchar_t* name) {
  // By its full path, which every Windows takes (the System32 search flag needs that same
  // update); what the DLL itself needs is then looked for beside it, not beside us.
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + wcslen(name) >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  wcscpy(path + length + 1, name);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

bool OwnModulePath(wchar_t (&path)[MAX_PATH]) {
  ZeroMemory(path, sizeof(path));
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length != 0 && length < MAX_PATH;
}

std::wstring OwnModuleFileName() {
  wchar_t path[MAX_PATH];
  OwnModulePath(path);
  path[MAX_PATH - 1] = L'\0';
  return LongFileName(path);
}

std::wstring LongFileName(const wchar_t* path) {
  // The folder's long form may not fit where the short one did: only the name is asked for.
  WIN32_FIND_DATAW found;
  ScopedFindHandle find(FindFirstFileW(path, &found));
  if (find.IsValid()) return found.cFileName;
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

}  // namespace kelo
