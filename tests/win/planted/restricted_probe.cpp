// Loads gdiplus.dll by its bare name after the programs' own search restriction, as a
// system DLL loading another would: the copy planted beside it must not be the one taken.
#include <windows.h>

#include "base/module.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  kelo::RestrictDllSearchToSystem32();
  return LoadLibraryW(L"gdiplus.dll") ? 0 : 1;
}
