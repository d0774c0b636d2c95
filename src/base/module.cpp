#include "base/module.h"

#include <cwchar>

namespace kelo {

namespace {
HINSTANCE g_instance = nullptr;
}

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

HINSTANCE ModuleInstance() { return g_instance ? g_instance : GetModuleHandleW(nullptr); }

void RestrictDllSearchToSystem32() {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Also drops the current directory from the search of anything loaded without flags.
  SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

}  // namespace kelo
