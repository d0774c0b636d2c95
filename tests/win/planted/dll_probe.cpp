// Binds version.dll at load time, as a careless program would: the control case showing
// that a planted version.dll next to a program is really picked up under the test's settings.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  DWORD handle = 0;
  return static_cast<int>(GetFileVersionInfoSizeW(L"C:\\windows\\system32\\kernel32.dll", &handle) == 0);
}
