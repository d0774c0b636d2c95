#include <windows.h>

#include "base/module.h"

// The window and the program's life arrive with the user-interface work; for now the
// program only hardens its DLL search and ends.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kelo::RestrictDllSearchToSystem32();
  kelo::SetModuleInstance(instance);
  return 0;
}
