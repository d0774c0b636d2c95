// Loads a DLL by its bare name, as a system DLL loading another would, after the programs'
// own search restriction: the copy planted beside it must not be the one taken.
//   restricted_probe.exe                   gdiplus.dll, after the restriction
//   restricted_probe.exe bare              version.dll, with only the current directory out
//                                          of the search (all Windows 7 without its loader
//                                          update takes)
//   restricted_probe.exe without-update    version.dll, after the restriction as it is made
//                                          on such a Windows
#include <windows.h>

#include <string>

#include "base/module.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
  const std::wstring mode = arguments;
  if (mode.empty()) {
    kelo::RestrictDllSearchToSystem32();
    return LoadLibraryW(L"gdiplus.dll") ? 0 : 1;
  }
  if (mode == L"without-update") kelo::RestrictDllSearchToSystem32(/*as_without_update=*/true);
  else SetDllDirectoryW(L"");
  return LoadLibraryW(L"version.dll") ? 0 : 1;
}
