// Binds gdiplus.dll at load time, as a careless program would: the control case showing that
// a planted gdiplus.dll next to a program is really picked up under the test's settings.
#include <windows.h>

extern "C" __declspec(dllimport) int WINAPI GdiplusStartup(ULONG_PTR*, const void*, void*);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  ULONG_PTR token = 0;
  const unsigned char input[24] = {1};  // GdiplusStartupInput, version 1
  return GdiplusStartup(&token, input, nullptr);
}
