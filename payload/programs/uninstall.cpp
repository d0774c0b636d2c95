// Demo stand-in for the uninstaller that the installer carries: the uninstall entry and
// the start-menu shortcut point at it. It removes nothing.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  MessageBoxW(nullptr, L"Kelo游戏浏览器 demo payload: nothing to uninstall.", L"KeloUninstall", MB_OK);
  return 0;
}
